// SC and Net as the batch files use them: their texts and exit codes.
#include "platform/scm/scm_fixture.h"

namespace kavar::scm::testing {
namespace {

RunResult Sc(const std::vector<std::string>& args) {
    std::vector<std::string> all{BinDir() + "/SC"};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all);
}

RunResult Net(const std::vector<std::string>& args) {
    std::vector<std::string> all{BinDir() + "/Net"};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all);
}

TEST_F(ScmTest, ScConfigStartAndStopAsTheBatchFilesRunThem) {
    SC_HANDLE svc = Register("Velmo");
    ASSERT_NE(svc, nullptr);

    RunResult r = Sc({"Config", "Velmo", "Start=", "delayed-auto"});
    EXPECT_EQ(r.output, "[SC] ChangeServiceConfig SUCCESS\n");
    EXPECT_EQ(r.exitCode, 0);
    r = Sc({"qc", "velmo"});
    EXPECT_NE(r.output.find("START_TYPE         : 2   AUTO_START  (DELAYED)"), std::string::npos)
        << r.output;

    r = Sc({"START", "Velmo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("SERVICE_NAME: Velmo"), std::string::npos);
    ASSERT_TRUE(WaitFor(svc, SERVICE_RUNNING));
    r = Sc({"query", "Velmo"});
    EXPECT_NE(r.output.find("STATE              : 4  RUNNING"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("(STOPPABLE, PAUSABLE, ACCEPTS_SHUTDOWN)"), std::string::npos);

    r = Sc({"STOP", "Velmo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ASSERT_TRUE(WaitFor(svc, SERVICE_STOPPED));
    r = Sc({"Config", "Velmo", "Start=", "disabled"});
    EXPECT_EQ(r.exitCode, 0);

    r = Sc({"START", "Velmo"});
    EXPECT_EQ(r.output, "[SC] StartService FAILED 1058:\n\n" +
                            SystemErrorMessage(ERROR_SERVICE_DISABLED) + "\n\n");
    EXPECT_EQ(r.exitCode, 1058 & 0xFF);  // exit statuses are 8 bits here
    r = Sc({"STOP", "Velmo"});
    EXPECT_EQ(r.output.rfind("[SC] ControlService FAILED 1062:", 0), 0u) << r.output;
    r = Sc({"config", "Nothing", "start=", "auto"});
    EXPECT_EQ(r.output.rfind("[SC] OpenService FAILED 1060:", 0), 0u) << r.output;
    r = Sc({"config", "Velmo", "start=", "sometimes"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("USAGE"), std::string::npos);
}

TEST_F(ScmTest, ScCreatesAndDeletes) {
    const std::string path = "\"" + TestServicePath() + "\" --name=Made";
    RunResult r =
        Sc({"create", "Made", "binPath=", path, "start=", "demand", "DisplayName=", "Made Here"});
    EXPECT_EQ(r.output, "[SC] CreateService SUCCESS\n");
    r = Sc({"create", "made", "binPath=", path});
    EXPECT_EQ(r.output.rfind("[SC] CreateService FAILED 1073:", 0), 0u) << r.output;
    r = Sc({"delete", "MADE"});
    EXPECT_EQ(r.output, "[SC] DeleteService SUCCESS\n");
    EXPECT_EQ(Open("Made"), nullptr);
}

TEST_F(ScmTest, NetStartsAndStopsAndSaysWhyNot) {
    SC_HANDLE svc =
        Register("Velmo", "--start-ms=300", SERVICE_DEMAND_START, nullptr, "Kavar Sender");
    ASSERT_NE(svc, nullptr);
    RunResult r = Net({"Start", "Velmo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.rfind("The Kavar Sender service is starting.", 0), 0u) << r.output;
    EXPECT_NE(r.output.find("\nThe Kavar Sender service was started successfully.\n\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(Status(svc).dwCurrentState, SERVICE_RUNNING);

    r = Net({"start", "kavar sender"});  // display names work too
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output,
              "The requested service has already been started.\n\n"
              "More help is available by typing NET HELPMSG 2182.\n\n");

    r = Net({"Stop", "VELMO"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("The Kavar Sender service was stopped successfully."),
              std::string::npos);
    EXPECT_EQ(Status(svc).dwCurrentState, SERVICE_STOPPED);

    r = Net({"stop", "Velmo"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output.rfind("The Kavar Sender service is not started.", 0), 0u) << r.output;
    r = Net({"start", "Nothing"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output.rfind("The service name is invalid.", 0), 0u);

    SC_HANDLE crash = Register("Crash", "--crash=start");
    r = Net({"start", "Crash"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("The Crash service could not be started."), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("System error 1067 has occurred."), std::string::npos) << r.output;
    (void)crash;
}

}  // namespace
}  // namespace kavar::scm::testing
