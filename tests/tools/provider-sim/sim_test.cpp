// What other tests rely on in the simulator itself: faults limited to one operation and a
// number of answers, its account state, bounded recording, and a clean stop.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "shared/uSendSmsWS.h"
#include "shared/uSmsUtils.h"
#include "support/ProviderSimProcess.h"

using kavar::test::ProviderSimProcess;

namespace {

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Failed calls log; keep their lines out of the build tree.
        dir_ = std::filesystem::temp_directory_path() /
               ("kavar_sim_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        TSMSUtil::ApplicationExeName = dir_.string();
        TSMSUtil::CallerProg = "APP";
    }
    void TearDown() override {
        TSendSmsWS::SetEndpoint("", "");
        std::filesystem::remove_all(dir_);
    }
    static std::int32_t Send(std::int32_t& id) {
        return TSendSmsWS::SendSms("u", "p", {"0912"}, "3000", "hi", false, id);
    }
    std::filesystem::path dir_;
};

TEST_F(SimTest, FaultsApplyToTheirOperationForTheGivenNumberOfAnswers) {
    ProviderSimProcess sim({"--credit", "2"});
    TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
    sim.Refuse(10, "SendBatchSms", 2);
    std::int32_t id = 0;
    EXPECT_EQ(Send(id), 10);
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "p"), "2");  // other operations unaffected
    EXPECT_EQ(Send(id), 10);
    EXPECT_EQ(Send(id), 0);  // back to accepting
    EXPECT_EQ(id, 1000);
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "p"), "1");  // one recipient charged
    EXPECT_EQ(Send(id), 0);
    EXPECT_EQ(id, 1001);
    EXPECT_EQ(Send(id), 8);  // out of credit
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "p"), "0");
}

TEST_F(SimTest, AWrongAccountIsRefusedWhenOneIsSet) {
    ProviderSimProcess sim({"--user", "u", "--password", "right"});
    TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
    std::int32_t id = 0;
    EXPECT_EQ(TSendSmsWS::SendSms("u", "wrong", {"0912"}, "3000", "hi", false, id), 1);
    EXPECT_EQ(TSendSmsWS::GetCreditStr("u", "wrong"), "-1");
    EXPECT_EQ(TSendSmsWS::GetInboxCount("u", "wrong", true), -1);
    EXPECT_EQ(TSendSmsWS::SendSms("u", "right", {"0912"}, "3000", "hi", false, id), 0);
}

TEST_F(SimTest, KeepsOnlyTheLastRequestsAndStopsCleanlyOnSigterm) {
    ProviderSimProcess sim({"--record", "3"});
    TSendSmsWS::SetEndpoint(sim.Url(), sim.Namespace());
    for (int i = 0; i < 5; ++i) TSendSmsWS::GetInboxCount("u", "p", i % 2 == 0);
    auto requests = sim.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].Seq, 3u);
    EXPECT_EQ(requests[2].Seq, 5u);
    EXPECT_EQ(requests[2].Operation, "GetInboxCount");
    EXPECT_EQ(sim.Requests(4).size(), 1u);
    EXPECT_NE(sim.Stats().find("requests 5\n"), std::string::npos);

    int status = sim.Stop();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
