// Every worked example and field encoding in docs/protocol.md, replayed against the request
// handlers over the simulated host loaded with the example server that the document uses,
// so that the document cannot drift from the code.

#include "support/sim_fixture.h"
#include "wire_examples.h"

#include "protocol/packet.h"
#include "sim/scenario_json.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string readFile(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

const std::string& protocolText()
{
    static const std::string text = readFile(G19_PROTOCOL_DOC);
    return text;
}

const docs::Document& document()
{
    static const docs::Document parsed = docs::parseDocument(protocolText());
    return parsed;
}

TEST(ProtocolDocument, HoldsOnlyWellFormedCheckedExamples)
{
    ASSERT_FALSE(protocolText().empty()) << "cannot read " << G19_PROTOCOL_DOC;
    for (const std::string& error : document().errors) {
        ADD_FAILURE() << G19_PROTOCOL_DOC << ": " << error;
    }
}

// A display author should find every command and every action worked through.
TEST(ProtocolDocument, ShowsEveryCommandAndAction)
{
    std::set<docs::Bytes> shown;
    bool unknownShown = false;
    for (const docs::Example& example : document().examples) {
        for (const docs::Exchange& exchange : example.exchanges) {
            const docs::Bytes& request = exchange.request;
            if (request.empty() || request[0] < 2 || request[0] > 5) {
                unknownShown = true;
            } else if (request[0] == 4 && request.size() >= 2) {
                shown.insert({request[0], request[1]});
            } else {
                shown.insert({request[0]});
            }
        }
    }
    // Requests by their command byte, and the control requests by their action too.
    const std::set<docs::Bytes> wanted = {{2},    {3},    {5},    {4, 1}, {4, 2},  {4, 3}, {4, 4},
                                          {4, 5}, {4, 7}, {4, 8}, {4, 9}, {4, 10}, {4, 11}};
    for (const docs::Bytes& request : wanted) {
        EXPECT_EQ(shown.count(request), 1u) << "no example of the request " << docs::hex(request);
    }
    EXPECT_TRUE(unknownShown) << "no example of an unknown command";
}

// Each field written as the handlers write it, and read back where the requests use it.
TEST(ProtocolDocument, FieldEncodingsAsDocumented)
{
    ASSERT_FALSE(document().encodings.empty()) << "no encoding block";
    for (const docs::Encoding& encoding : document().encodings) {
        SCOPED_TRACE(std::string(G19_PROTOCOL_DOC) + ":" + std::to_string(encoding.line));
        const std::string& type = encoding.type;
        Packet written;
        Packet read;
        read.assign(encoding.bytes.data(), static_cast<std::int32_t>(encoding.bytes.size()));
        if (type == "string") {
            written.writeString(encoding.value);
            EXPECT_EQ(read.readString(), encoding.value);
        } else if (type == "i64") {
            written.writeInt64(std::stoll(encoding.value));
        } else if (type == "u8" || type == "u16" || type == "u32") {
            const unsigned long long value = std::stoull(encoding.value);
            if (type == "u8") {
                written.writeUInt8(static_cast<std::uint8_t>(value));
                EXPECT_EQ(read.readUInt8(), value);
            } else if (type == "u16") {
                written.writeUInt16(static_cast<std::uint16_t>(value));
                EXPECT_EQ(read.readUInt16(), value);
            } else {
                // Only requests carry 32-bit fields; the plug-in reads them and never writes one.
                EXPECT_EQ(read.readUInt32(), value);
                written.assign(encoding.bytes.data(), static_cast<std::int32_t>(encoding.bytes.size()));
            }
        } else {
            ADD_FAILURE() << "unknown type " << type;
            continue;
        }
        EXPECT_EQ(docs::hex(docs::Bytes(written.data(), written.data() + written.size())),
                  docs::hex(encoding.bytes));
        if (type != "i64") {
            EXPECT_EQ(read.size(), 0u) << "the read left bytes behind";
        }
    }
}

std::size_t firstDifference(const docs::Bytes& a, const docs::Bytes& b)
{
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    return i;
}

class WireExample : public SimHostTest, public ::testing::WithParamInterface<docs::Example> {
protected:
    // The example server with the block's failure rules added.
    static sim::Scenario scenario(const std::string& failuresJson)
    {
        nlohmann::json json = nlohmann::json::parse(readFile(G19_EXAMPLE_SERVER), nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << "cannot read " << G19_EXAMPLE_SERVER;
        if (!failuresJson.empty()) {
            json["failures"] = nlohmann::json::parse(failuresJson, nullptr, false);
        }
        std::string error;
        std::optional<sim::Scenario> parsed = sim::parseScenario(json.dump(), error);
        EXPECT_TRUE(parsed.has_value()) << error;
        return parsed.value_or(sim::Scenario{});
    }
};

TEST_P(WireExample, AnswersAsDocumented)
{
    const docs::Example& example = GetParam();
    sim::Scenario server = scenario(example.failuresJson);
    ASSERT_FALSE(server.model.connections.empty());
    sim::setModelAndFailures(std::move(server.model), std::move(server.failures));
    // One request after another, as on one connection: each sees what the ones before did.
    for (const docs::Exchange& exchange : example.exchanges) {
        const docs::Bytes actual = answer(exchange.request);
        EXPECT_EQ(docs::hex(actual), docs::hex(exchange.answer))
            << G19_PROTOCOL_DOC << ":" << exchange.line << ": request " << docs::hex(exchange.request)
            << ", first difference at answer byte " << firstDifference(actual, exchange.answer);
    }
}

INSTANTIATE_TEST_SUITE_P(ProtocolMd, WireExample, ::testing::ValuesIn(document().examples),
                         [](const ::testing::TestParamInfo<docs::Example>& info) { return info.param.name; });

}  // namespace
