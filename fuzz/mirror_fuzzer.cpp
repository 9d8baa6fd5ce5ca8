// Fuzz target for the bridge's mirror: one input is a sequence of Remote Apps messages, one
// per line, as the voice client would send them (an `auth` line is a snapshot). After every
// message the display's three queries go through the plug-in's request path against the
// bridge's host; each answer must be one the display can read, in full, and the host's
// memory must balance. Lines that are not JSON are skipped, as the bridge skips such frames.
// A talk frame that the bridge reads without its document must change the mirror exactly as
// the whole message does.

#include "bridge/bridge_host.h"
#include "bridge/talk_frame.h"
#include "client/answers.h"
#include "g19/version.h"
#include "protocol/request.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Enough for any order of events to matter, few enough that an input stays fast.
constexpr std::size_t MAX_MESSAGES = 64;

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "mirror fuzzer: %s\n", why.c_str());
    std::abort();
}

void checkAnswers(const TS3Functions& host)
{
    std::ostringstream output;
    const RequestContext context{host, G19_VERSION, [](std::chrono::milliseconds) {}, output};
    for (const std::uint8_t command : {std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{5}}) {
        const Packet packet = processRequest(context, &command, 1);
        // A failed query answers nothing at all; anything else must decode whole.
        if (packet.size() == 0) {
            continue;
        }
        const display::Progress progress = display::answerProgress(command, packet.data(), packet.size());
        if (progress.status != display::DecodeStatus::COMPLETE) {
            fail("answer to " + std::to_string(command) + " unreadable: " +
                 display::describe(progress.status, progress.error));
        }
    }
}

bool sameClients(const bridge::Mirror& a, const bridge::Mirror& b)
{
    if (a.connections().size() != b.connections().size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.connections().size(); ++i) {
        const std::vector<bridge::Client>& x = a.connections()[i].clients;
        const std::vector<bridge::Client>& y = b.connections()[i].clients;
        if (!std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const bridge::Client& p, const bridge::Client& q) {
                return p.id == q.id && p.values == q.values && p.known == q.known;
            })) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const TS3Functions host = bridge::functionTable();
    bridge::resetHost();
    const bridge::HostMemoryCounts before = bridge::hostMemory();

    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t count = 0; !text.empty() && count < MAX_MESSAGES; ++count) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        const nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
        const std::optional<bridge::TalkStatus> talk = bridge::readTalkStatus(line);
        if (talk && message.is_discarded()) {
            fail("a talk frame read that the parse refuses");
        }
        if (message.is_discarded()) {
            continue;
        }
        bridge::updateMirror([&](bridge::Mirror& mirror) {
            const bool snapshot = message.is_object() && message.value("type", nlohmann::json()) == "auth";
            if (snapshot && message.contains("payload") && message["payload"].is_object()) {
                mirror.replace(message["payload"].value("connections", nlohmann::json()));
            } else if (talk) {
                bridge::Mirror read = mirror;
                const std::string readWhy = read.applyTalkStatus(*talk);
                const std::string parsedWhy = mirror.apply(message);
                if (readWhy != parsedWhy || !sameClients(read, mirror)) {
                    fail("a talk frame read without its document changed the mirror otherwise: \"" + readWhy +
                         "\" against \"" + parsedWhy + "\"");
                }
            } else {
                mirror.apply(message);
            }
        });
        checkAnswers(host);
    }

    const bridge::HostMemoryCounts after = bridge::hostMemory();
    if (after.allocated - before.allocated != after.released - before.released) {
        fail("host memory unbalanced");
    }
    return 0;
}
