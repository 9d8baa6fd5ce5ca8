#pragma once
// The server g19-hostsim plays when it is given no scenario: a small channel tree with a
// handful of clients whose talking states change about once a second, so that a display
// connected to the plug-in shows some life.

#include "sim/sim_host.h"

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

inline constexpr const char* DEMO_SERVER_NAME = "G19 Demo Server";

sim::Model demoModel();

// Plays the talking patterns of the demo's clients on the simulated host's model. Any thread
// may start and stop it (the serving thread on a control line, the web console's on a click).
class DemoAnimation {
public:
    DemoAnimation() = default;
    DemoAnimation(const DemoAnimation&) = delete;
    DemoAnimation& operator=(const DemoAnimation&) = delete;
    ~DemoAnimation() { stop(); }

    void start();
    // Returns once the thread has ended; a no-op when it is not running.
    void stop();
    // Someone set this client's talking flag by hand (the web console): from now on the
    // animation leaves it as they set it, until the next start.
    void leaveAlone(uint64 schid, anyID client);

private:
    void run();
    void stopLocked();

    std::mutex m_control;  // start and stop, one at a time
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::set<anyID> m_leftAlone;
};
