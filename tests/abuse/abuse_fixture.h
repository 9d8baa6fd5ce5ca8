#pragma once
// The listener on an ephemeral loopback port, abused by its peers. After each case the
// listener must still serve a well-behaved peer, stop within its bound, and leave no
// descriptor or thread behind.

#include "process_probe.h"
#include "server/listener_fixture.h"

#include <regex>
#include <string>

class AbuseTest : public ListenerTest {
protected:
    void SetUp() override
    {
        ListenerTest::SetUp();
        m_before = resources();
    }

    // A display program that behaves: one request, the whole answer.
    void expectServes(std::uint16_t port)
    {
        Peer peer(port);
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send({0x02}));
        EXPECT_EQ(peer.read(serverNameAnswer(SERVER_NAME).size(), 3s), serverNameAnswer(SERVER_NAME))
            << "a well-behaved peer was not served";
    }

    // Every peer of the test must be gone by now.
    void expectNothingLeft()
    {
        std::string output = diagnostics();
        if (m_clientListDiagnostics) {
            output = std::regex_replace(output, std::regex("\nERR2?: [0-9]+"), "");
        }
        EXPECT_EQ(output, lastLines()) << "unexpected diagnostics";
        const bool back = waitForResources(m_before, 2s);
        const Resources now = resources();
        EXPECT_TRUE(back) << "descriptors " << m_before.descriptors << " -> " << now.descriptors
                          << ", threads " << m_before.threads << " -> " << now.threads;
    }

    // Requests of command 5 to a server without an own client write their diagnostic.
    void allowClientListDiagnostics() { m_clientListDiagnostics = true; }

private:
    bool m_clientListDiagnostics = false;
    Resources m_before;
};
