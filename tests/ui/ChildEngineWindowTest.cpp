// The window's controllers over the engine program as the application runs it: a child
// process on the simulated network, driven through the proxy.
#include <signal.h>

#include "WindowFixture.h"

namespace quellbox::testing {
namespace {

class ChildEngineWindow : public WindowFixture {
protected:
    ChildEngineWindow()
        : WindowFixture(
              "service 6700 Server\n"
              "client 192.0.2.10 download port=6700 login=alice name=\"Alice\" demand=200\n") {}
};

TEST_F(ChildEngineWindow, CapsShowClientsRestartADeadEngineAndWindDownThroughTheProcess) {
    storeServices({"Server"}, {6700}, {true});
    start();
    ASSERT_EQ(firewallRules(), 2U);
    clickCheckBox(0, "Ul");
    EXPECT_EQ(firewallRules(), 0U);
    clickCheckBox(0, "Ul");
    EXPECT_EQ(firewallRules(), 2U);

    // The engine's gauges and its client table arrive over the connection.
    ASSERT_TRUE(processEventsUntil([this] { return ui().dataPacketGauge->value() > 0; }));
    ui().priorityModeButton->click();
    ASSERT_TRUE(processEventsUntil([this] {
        priority().refreshView();
        return priority().tableModel().rowCount() > 0;
    }));
    EXPECT_EQ(cellText(priority().tableModel(), 0, "ipAdress"), "192.0.2.10");
    EXPECT_EQ(cellText(priority().tableModel(), 0, "screenName"), "Alice");

    presenter().panelAnswer = Presenter::kDefaultButton;  // "Restart"
    ASSERT_EQ(::kill(*proxy().client().enginePid(), SIGKILL), 0);
    ASSERT_TRUE(processEventsUntil([this] { return !presenter().panels.empty(); }));
    ASSERT_TRUE(processEventsUntil([this] { return proxy().client().alive(); }));
    // The killed engine's rules stay (traffic bypasses them); the new one capped the port again.
    EXPECT_EQ(firewallRules(), 4U);
    EXPECT_EQ(quits, 0);

    controller().terminateWithoutQuestion();
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(firewallRules(), 2U) << "only the killed engine's rules are left";
}

}  // namespace
}  // namespace quellbox::testing
