// uSmsUtils: the utilities both programs share: the settings record and file, the daily
// log, the sending window, the connectivity probe, input checks and result texts.
#pragma once

#include <cstdint>
#include <string>

#include "shared/uSendSmsWS.h"

struct TAppSetting {
    std::string SMS_PanelUser;
    std::string SMS_PanelPass;
    std::string SMS_NormalNumber;
    std::string SMS_ServiceNumber;
    bool SMS_ActiveServerNumber = false;
    std::string SQL_ServerName;
    std::string SQL_User;
    std::string SQL_Pass;
    std::string SQL_DBName;
    bool AutoSendSMS = false;
    std::int32_t TimerDelay = 0;
    bool SVCKAVARSMS = false;
    std::string ActiveTimeStart;
    std::string ActiveTimeEnd;

    bool operator==(const TAppSetting&) const = default;
};

// Scrambles or unscrambles one byte string (the same call does both).
std::string EncodeDecode(const std::string& Str);

class TSMSUtil {
  public:
    // "SVC" or "APP": the prefix of the day's log file name.
    static std::string CallerProg;
    // The folder of the running executable, absolute, without trailing separator.
    static std::string ApplicationExeName;

    // One log entry. Throws std::runtime_error when the day's file cannot be written.
    static void Logger(const std::string& MSG);
    static void SaveLog(const std::string& MSG);

    // AppPath is the executable's full file name; the file is KavarConfig.ini beside it.
    static void LoadSetting(const std::string& AppPath, TAppSetting& AppSetting);
    static void SaveSetting(const std::string& AppPath, const TAppSetting& AppSetting);
    static std::string GetActiveNumber(const TAppSetting& AppSetting);
    // Throws kavar::formats::EConvertError for a window limit that is not a time.
    static bool CheckActiveTime(const TAppSetting& AppSetting);
    static bool InternetState();

    static bool ValidateMessage(const std::string& MSG, std::string& log);
    static bool ValidateNumbers(const std::string& Numbers, std::string& log);
    static bool ValidateSenderNumber(const std::string& SenderNumber, std::string& log);
    static bool ValidateSMSID(std::int32_t SMSID, std::string& log);
    static bool ValidateUser(const std::string& Username, const std::string& Password,
                             std::string& log);

    static std::string GetMessageStatusText(std::int32_t StatusCode);
    static std::string GetDeliveryStateText(std::int32_t DeliveryStatus);
    static std::string GetCreditStateTextByStr(const std::string& Credit);
    static std::string GetCreditStateText(double Credit);
    static std::string GetInboxCountText(std::int32_t InboxCount);

    static std::string GetMessagesText(const TMessageInfoRec& AMessageInfo);
};

namespace kavar {
// Leading and trailing bytes <= 0x20 removed (exact on UTF-8).
std::string Trim(const std::string& s);

// TSMSUtil::CheckActiveTime for a given local date-time instead of the clock.
bool CheckActiveTimeAt(const TAppSetting& AppSetting, formats::TDateTime now);
}  // namespace kavar
