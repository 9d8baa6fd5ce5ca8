#include "control.h"

#include "bridge/bridge_host.h"
#include "platform/process.h"

#include <future>
#include <ostream>
#include <sstream>

namespace {

// How long a request that is answered at once may take.
constexpr std::chrono::seconds QUICK_ANSWER{5};
// A press is answered after its delay and the client's reply; the channel waits this much more.
constexpr std::chrono::seconds PRESS_MARGIN{3};
// A report packs some megabytes at most.
constexpr std::chrono::seconds REPORT_TIME{60};

void answerPress(ControlTarget& target, std::istringstream& words, const platform::ReplyLine& reply)
{
    std::string button;
    long long delayMs = -1;
    words >> button >> delayMs;
    if (bridge::actionOfButton(button) == nullptr || delayMs < 0 ||
        delayMs > std::chrono::duration_cast<std::chrono::milliseconds>(MAX_PRESS_DELAY).count()) {
        reply("say the running bridge cannot press \"" + button + "\"");
        reply("done 2");
        return;
    }
    const std::chrono::milliseconds delay(delayMs);
    if (delay.count() > 0) {
        const std::string action = bridge::actionOfButton(button);
        reply("say click the key field of \"" + action + "\" in the voice client now; the bridge presses " +
              button + " in " + std::to_string((delayMs + 500) / 1000) + " seconds");
    }
    auto result = std::make_shared<std::promise<bridge::PressResult>>();
    std::future<bridge::PressResult> outcome = result->get_future();
    target.session.pressAfter(button, delay,
                              [result](const bridge::PressResult& r) { result->set_value(r); });
    // The session answers every press, also when it stops; the bound is for a session that
    // cannot run its handlers at all.
    if (outcome.wait_for(delay + bridge::PRESS_REPLY_TIME + PRESS_MARGIN) != std::future_status::ready) {
        reply("say no word from the bridge's connection to the voice client");
        reply("done 1");
        return;
    }
    const bridge::PressResult pressed = outcome.get();
    switch (pressed.outcome) {
        case bridge::PressOutcome::ACCEPTED:
            reply("say pressed " + bridge::describeButton(button) + ": accepted by the voice client");
            reply("done 0");
            return;
        case bridge::PressOutcome::NO_REPLY:
            reply("say pressed " + bridge::describeButton(button) + "; the voice client sent no reply");
            reply("done 0");
            return;
        case bridge::PressOutcome::REJECTED:
            reply("say pressed " + bridge::describeButton(button) + ", but the voice client did not take it (" +
                  pressed.message + ")");
            reply("done 1");
            return;
        case bridge::PressOutcome::NOT_APPROVED:
            reply("say not pressed: the bridge is not connected to the voice client (" +
                  target.status.current().line + ")");
            reply("done 1");
            return;
        case bridge::PressOutcome::STOPPED:
            reply("say not pressed: the bridge stopped");
            reply("done 1");
            return;
    }
}

}  // namespace

platform::LocalChannelServer::Handler controlHandler(ControlTarget target)
{
    return [target](const std::string& request, const platform::ReplyLine& reply) mutable {
        std::istringstream words(request);
        std::string verb;
        words >> verb;
        if (verb == "status" || verb == "notify-running") {
            if (verb == "notify-running") {
                target.notify("already running; its icon is in the notification area");
            }
            reply("pid " + std::to_string(platform::processId()));
            reply("say " + target.status.current().line);
            reply("done 0");
        } else if (verb == "press") {
            answerPress(target, words, reply);
        } else if (verb == "report" && target.saveReport) {
            // The rest of the line, blanks and all, is the path.
            const std::string path = request.size() > verb.size() + 1 ? request.substr(verb.size() + 1) : "";
            const SavedReport saved = target.saveReport(path);
            reply("say " + saved.line);
            if (saved.ok) {
                reply("path " + saved.path);
            }
            reply("done " + std::string(saved.ok ? "0" : "1"));
        } else {
            reply("say the running bridge does not know the request \"" + verb +
                  "\"; it may be of another version");
            reply("done 2");
        }
    };
}

namespace {

// Sends `request`, hands every "say" line to `onSay`, and returns the "done" code; nothing
// when no copy answered whole.
std::optional<int> ask(const std::string& place, const std::string& request,
                       std::chrono::milliseconds timeout,
                       const std::function<void(const std::string&)>& onSay, RunningCopy* copy = nullptr,
                       std::string* path = nullptr)
{
    std::optional<int> done;
    std::string error;
    const bool answered = platform::localRequest(
        place, request,
        [&](const std::string& line) {
            if (line.rfind("say ", 0) == 0) {
                onSay(line.substr(4));
            } else if (line.rfind("pid ", 0) == 0 && copy != nullptr) {
                copy->processId = std::stoul("0" + line.substr(4));
            } else if (line.rfind("path ", 0) == 0 && path != nullptr) {
                *path = line.substr(5);
            } else if (line.rfind("done ", 0) == 0) {
                done = std::atoi(line.c_str() + 5);
            }
        },
        timeout, error);
    if (!answered) {
        return std::nullopt;
    }
    return done;
}

}  // namespace

std::optional<RunningCopy> askRunningCopy(const std::string& place, bool notify)
{
    RunningCopy copy;
    const std::optional<int> done = ask(
        place, notify ? "notify-running" : "status", QUICK_ANSWER,
        [&copy](const std::string& line) { copy.stateLine = line; }, &copy);
    if (!done) {
        return std::nullopt;
    }
    return copy;
}

int pressInRunningCopy(const std::string& place, const std::string& button, std::chrono::milliseconds delay,
                       std::ostream& out, std::ostream& err)
{
    const std::optional<int> done =
        ask(place, "press " + button + " " + std::to_string(delay.count()),
            delay + bridge::PRESS_REPLY_TIME + PRESS_MARGIN + QUICK_ANSWER, [&out](const std::string& line) {
                out << line << "\n";
                out.flush();
            });
    if (!done) {
        err << "g19-bridge is not running, or did not answer: start it first, then press the button again\n";
        return 1;
    }
    return *done;
}

int reportInRunningCopy(const std::string& place, const std::string& path, std::ostream& out,
                        std::ostream& err)
{
    std::string said;
    std::string written;
    const std::optional<int> done = ask(
        place, "report " + path, REPORT_TIME, [&said](const std::string& line) { said = line; }, nullptr,
        &written);
    if (!done) {
        err << "g19-bridge is not running, or did not answer: a report is saved by the running bridge\n";
        return 1;
    }
    if (*done != 0 || written.empty()) {
        err << "g19-bridge: " << (said.empty() ? "the running bridge saved no report" : said) << "\n";
        return *done != 0 ? *done : 1;
    }
    // Only the path on standard output, for a script to pick up.
    out << written << "\n";
    return 0;
}
