// The simulator's own verdict on scenario files, for the schema test: one JSON line per file
// named, {"file": ..., "error": null} or the error g19-hostsim would report.

#include "sim/scenario_json.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        std::string error;
        const bool valid = file && sim::parseScenario(text.str(), error).has_value();
        nlohmann::json verdict = {{"file", argv[i]}, {"error", nullptr}};
        if (!valid) {
            verdict["error"] = file ? error : "cannot read the file";
        }
        std::cout << verdict.dump() << '\n';
    }
    return 0;
}
