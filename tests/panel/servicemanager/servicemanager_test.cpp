#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "ScmSandbox.h"
#include "panel/servicemanager/uServiceManager.h"

namespace {

using kavar::panel::EServiceManagerError;
using kavar::panel::TServiceAccept;
using kavar::panel::TServiceInfo;
using kavar::panel::TServiceManager;
using kavar::panel::TServiceStartup;
using kavar::panel::TServiceState;

// Runs body and returns the wrapper's failure text, or "" when it did not fail.
std::string FailureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const EServiceManagerError& e) {
        return e.what();
    }
    return "";
}

// Whether the service traced a line that is exactly event.
bool Traced(const std::string& traceFile, const std::string& event) {
    std::ifstream in(traceFile);
    for (std::string line; std::getline(in, line);)
        if (line == event) return true;
    return false;
}

class ServiceManagerTest : public kavar::testing::ScmSandbox {
  protected:
    TServiceManager manager;
};

TEST_F(ServiceManagerTest, ListsAndLooksUpByKeyNameOnly) {
    Register("KavarProbe", "", "Probe Display");
    Register("KavarOther");
    manager.SetActive(true);

    ASSERT_EQ(manager.ServiceCount(), 2);
    for (int i = 0; i < manager.ServiceCount(); ++i) EXPECT_EQ(manager.Services(i).Index(), i);
    for (const char* name : {"KavarProbe", "kavarprobe", "KAVARPROBE", "kAvArPrObE"}) {
        TServiceInfo& info = manager.ServiceByName(name);
        EXPECT_EQ(info.ServiceName(), "KavarProbe") << name;
        EXPECT_EQ(info.DisplayName(), "Probe Display");
        EXPECT_EQ(info.State(), TServiceState::ssStopped);
    }
    EXPECT_EQ(FailureOf([&] { manager.ServiceByName("Probe Display"); }), "Service not found");
    EXPECT_EQ(FailureOf([&] { manager.ServiceByName("KavarProb"); }), "Service not found");
    EXPECT_EQ(FailureOf([&] { manager.Services(-1); }), "Index out of bounds");
    EXPECT_EQ(FailureOf([&] { manager.Services(2); }), "Index out of bounds");
    EXPECT_EQ(FailureOf([&] { manager.DeleteService(0); }), "Not implemented");
}

TEST_F(ServiceManagerTest, InactiveAndActiveGuards) {
    EXPECT_FALSE(manager.Active());
    EXPECT_EQ(FailureOf([&] { manager.RebuildServicesList(); }),
              "BuildServicesList only works when active");
    manager.SetMachineName("");
    manager.SetAllowLocking(true);

    manager.SetActive(true);
    EXPECT_TRUE(manager.Active());
    EXPECT_EQ(FailureOf([&] { manager.SetMachineName("other"); }),
              "Cannot change machine name while active");
    EXPECT_EQ(FailureOf([&] { manager.SetAllowLocking(false); }),
              "Cannot change allow locking while active");

    manager.SetActive(false);
    EXPECT_FALSE(manager.Active());
    EXPECT_EQ(manager.ServiceCount(), 0);
}

// A failed manager call carries its code and the system's text for it.
TEST_F(ServiceManagerTest, SystemErrorCarriesCodeAndText) {
    manager.SetMachineName("elsewhere");
    try {
        manager.SetActive(true);
        FAIL() << "connected to another machine";
    } catch (const EServiceManagerError& e) {
        EXPECT_EQ(e.ErrorCode(), kavar::scm::ERROR_RPC_SERVER_UNAVAILABLE);
        EXPECT_EQ(std::string(e.what()),
                  "System Error.  Code: 1722.\n" +
                      kavar::scm::SystemErrorMessage(kavar::scm::ERROR_RPC_SERVER_UNAVAILABLE));
    }
    EXPECT_FALSE(manager.Active());
}

TEST_F(ServiceManagerTest, RebuildDropsRemovedService) {
    Register("KavarGone");
    Register("KavarStays");
    manager.SetActive(true);
    ASSERT_EQ(manager.ServiceCount(), 2);

    Unregister("KavarGone");
    manager.RebuildServicesList();
    ASSERT_EQ(manager.ServiceCount(), 1);
    EXPECT_EQ(manager.Services(0).ServiceName(), "KavarStays");
    EXPECT_EQ(FailureOf([&] { manager.ServiceByName("KavarGone"); }), "Service not found");
}

// Writing State walks stopped -> paused (start, then pause) -> running (continue) ->
// stopped, waiting at each step.
TEST_F(ServiceManagerTest, WritingStateDrivesTheService) {
    Register("KavarSteer");
    manager.SetActive(true);
    TServiceInfo& svc = manager.ServiceByName("KavarSteer");
    svc.SetLive(true);

    for (TServiceState target :
         {TServiceState::ssPaused, TServiceState::ssRunning, TServiceState::ssRunning,
          TServiceState::ssStopped, TServiceState::ssStopped, TServiceState::ssRunning}) {
        svc.SetState(target);
        EXPECT_EQ(svc.State(), target);
    }
    EXPECT_TRUE(svc.Accepts().Contains(TServiceAccept::saStop));
    EXPECT_TRUE(svc.Accepts().Contains(TServiceAccept::saPauseContinue));
    svc.SetState(TServiceState::ssStopped);
}

// A pending state is waited out first; only then is writing a pending state refused.
TEST_F(ServiceManagerTest, WritingPendingStateFailsAfterSettling) {
    Register("KavarPending", "--start-ms=1500");
    manager.SetActive(true);
    TServiceInfo& svc = manager.ServiceByName("KavarPending");
    svc.SetLive(true);
    svc.ServiceStart(false);
    ASSERT_EQ(svc.State(), TServiceState::ssStartPending);

    EXPECT_EQ(FailureOf([&] { svc.SetState(TServiceState::ssStartPending); }),
              "Cannot set a transitional state in TServiceInfo.");
    EXPECT_EQ(svc.State(), TServiceState::ssRunning);
    EXPECT_EQ(FailureOf([&] { svc.SetState(TServiceState::ssStopPending); }),
              "Cannot set a transitional state in TServiceInfo.");
}

// A live entry settles the state the service is in now, not the one listed: someone else
// started or stopped the service after the list was built and it is still pending.
TEST_F(ServiceManagerTest, LiveEntrySettlesTheCurrentPendingState) {
    Register("KavarLiveStart", "--start-ms=1500");
    Register("KavarLiveStop", "--stop-ms=1500");
    TServiceManager other;
    other.SetActive(true);
    other.ServiceByName("KavarLiveStop").ServiceStart(true);
    manager.SetActive(true);  // lists one stopped and one running

    const struct {
        const char* name;
        std::function<void(TServiceInfo&)> elsewhere;
        TServiceState pending;
        TServiceState target;
    } cases[] = {
        {"KavarLiveStart", [](TServiceInfo& s) { s.ServiceStart(false); },
         TServiceState::ssStartPending, TServiceState::ssStopped},
        {"KavarLiveStop", [](TServiceInfo& s) { s.ServiceStop(false); },
         TServiceState::ssStopPending, TServiceState::ssRunning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TServiceInfo& elsewhere = other.ServiceByName(c.name);
        c.elsewhere(elsewhere);
        elsewhere.SetLive(true);
        ASSERT_EQ(elsewhere.State(), c.pending);

        TServiceInfo& svc = manager.ServiceByName(c.name);
        svc.SetLive(true);
        EXPECT_EQ(FailureOf([&] { svc.SetState(c.target); }), "");
        EXPECT_EQ(svc.State(), c.target);
    }
}

// A control the service does not accept fails before anything reaches the service.
TEST_F(ServiceManagerTest, RefusedControlsSendNothing) {
    const std::string trace = Root() + "/refuse.trace";
    Register("KavarRefuse", "--no-stop --no-pause --trace=" + trace);
    manager.SetActive(true);
    TServiceInfo& svc = manager.ServiceByName("KavarRefuse");
    TServiceManager other;
    other.SetActive(true);
    other.ServiceByName("KavarRefuse").ServiceStart(true);
    ASSERT_TRUE(Traced(trace, "started"));
    // Not live: the state listed when the list was built.
    EXPECT_EQ(svc.State(), TServiceState::ssStopped);
    svc.SetLive(true);
    EXPECT_EQ(svc.State(), TServiceState::ssRunning);

    const struct {
        std::function<void()> control;
        const char* failure;
    } cases[] = {
        {[&] { svc.ServiceStop(true); }, "Service cannot be Stopped"},
        {[&] { svc.ServicePause(true); }, "Service cannot be paused"},
        {[&] { svc.ServiceContinue(true); }, "Service cannot be continued"},
        {[&] { svc.SetState(TServiceState::ssStopped); }, "Service cannot be Stopped"},
    };
    for (const auto& c : cases) EXPECT_EQ(FailureOf(c.control), c.failure);

    EXPECT_EQ(svc.State(), TServiceState::ssRunning);
    for (const char* event : {"stop", "pause", "continue"})
        EXPECT_FALSE(Traced(trace, event)) << event;
}

// The wait goes on while the check point rises and gives up once it stands still over a
// whole wait hint.
TEST_F(ServiceManagerTest, WaitFollowsTheCheckPoint) {
    Register("KavarRising", "--start-ms=3000 --wait-hint=200");
    Register("KavarFrozen", "--start-ms=30000 --wait-hint=200 --frozen");
    manager.SetActive(true);

    TServiceInfo& rising = manager.ServiceByName("KavarRising");
    EXPECT_EQ(FailureOf([&] { rising.ServiceStart(true); }), "");
    EXPECT_EQ(rising.State(), TServiceState::ssRunning);

    TServiceInfo& frozen = manager.ServiceByName("KavarFrozen");
    EXPECT_EQ(FailureOf([&] { frozen.ServiceStart(true); }),
              "Service did not react within timeframe given");
    EXPECT_EQ(frozen.State(), TServiceState::ssStartPending);
}

TEST_F(ServiceManagerTest, StartTypeChangesOnlyUnderTheLock) {
    Register("KavarStartType");
    manager.SetActive(true);
    TServiceInfo& svc = manager.ServiceByName("KavarStartType");

    EXPECT_EQ(svc.StartType(), TServiceStartup::ssManual);
    EXPECT_TRUE(svc.OwnProcess());
    EXPECT_FALSE(svc.Interactive());
    EXPECT_NE(svc.BinaryPath().find("TestService\" --name=KavarStartType"), std::string::npos);

    // Locking not allowed: the same value is a no-op, a new one is refused and not written.
    svc.SetStartType(TServiceStartup::ssManual);
    EXPECT_EQ(FailureOf([&] { svc.SetStartType(TServiceStartup::ssDisabled); }),
              "Locking of the service manager not allowed!");
    svc.SetLive(true);
    EXPECT_EQ(svc.StartType(), TServiceStartup::ssManual);

    manager.SetActive(false);
    manager.SetAllowLocking(true);
    manager.SetActive(true);
    TServiceInfo& locked = manager.ServiceByName("KavarStartType");
    locked.SetLive(true);
    for (TServiceStartup value :
         {TServiceStartup::ssDisabled, TServiceStartup::ssAutomatic, TServiceStartup::ssManual}) {
        locked.SetStartType(value);
        EXPECT_EQ(locked.StartType(), value);
    }
    // The lock is gone again: a start, which a held lock would refuse, goes through.
    EXPECT_EQ(FailureOf([&] { locked.ServiceStart(true); }), "");
}

TEST_F(ServiceManagerTest, DependentsAreSearchedAgainWhileNone) {
    Register("KavarBase");
    Register("KavarMiddle", "", "", "KavarBase\0");
    manager.SetActive(true);

    TServiceInfo& base = manager.ServiceByName("KavarBase");
    ASSERT_EQ(base.DependentCount(), 1);
    EXPECT_EQ(&base.Dependents(0), &manager.ServiceByName("KavarMiddle"));
    EXPECT_EQ(FailureOf([&] { base.Dependents(1); }), "Index out of bounds");

    // No dependents yet: each read asks again, so one registered meanwhile is seen; it is
    // not in the list until a rebuild.
    TServiceInfo& middle = manager.ServiceByName("KavarMiddle");
    EXPECT_EQ(middle.DependentCount(), 0);
    Register("KavarTop", "", "", "KavarMiddle\0");
    EXPECT_EQ(FailureOf([&] { middle.DependentCount(); }), "Service not found");

    manager.RebuildServicesList();
    TServiceInfo& fresh = manager.ServiceByName("KavarMiddle");
    ASSERT_EQ(fresh.DependentCount(), 1);
    EXPECT_EQ(fresh.Dependents(0).ServiceName(), "KavarTop");
}

}  // namespace
