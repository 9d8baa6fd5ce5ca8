#include "face.h"

#include "platform/process.h"
#include "serve_loop.h"

namespace {

// The state lines are the console's view of the status; a notification is one more line.
class ConsoleFace : public Face {
public:
    explicit ConsoleFace(bridge::BridgeLog& log) : m_log(log) {}

    void run() override { serveUntilStopped({}); }

    void notify(const std::string& text) override { m_log.state(text); }

private:
    bridge::BridgeLog& m_log;
};

}  // namespace

bool faceHasConsole()
{
    return true;
}

std::unique_ptr<Face> makeFace(bridge::StatusModel&, bridge::BridgeLog& log, FaceActions)
{
    platform::useUtf8Console();
    installStopHandlers();
    return std::make_unique<ConsoleFace>(log);
}
