#include "shared/uSmsUtils.h"

#include <unistd.h>

#include <climits>

#include "platform/formats/formats.h"
#include "platform/netstate/netstate.h"

namespace {

// The folder of the running executable. Programs assign ApplicationExeName themselves at
// start; this default only keeps a program that forgot from logging into the file
// system's root.
std::string ExecutableFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string TSMSUtil::CallerProg;
std::string TSMSUtil::ApplicationExeName = ExecutableFolder();

std::string TSMSUtil::GetActiveNumber(const TAppSetting& AppSetting) {
    return AppSetting.SMS_ActiveServerNumber ? AppSetting.SMS_ServiceNumber
                                             : AppSetting.SMS_NormalNumber;
}

bool TSMSUtil::CheckActiveTime(const TAppSetting& AppSetting) {
    return kavar::CheckActiveTimeAt(AppSetting, kavar::formats::Now());
}

bool TSMSUtil::InternetState() { return kavar::netstate::Connected(); }

namespace kavar {

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
    return s.substr(b, e - b);
}

bool CheckActiveTimeAt(const TAppSetting& AppSetting, formats::TDateTime now) {
    int hour, minute, second, ms;
    formats::DecodeTime(now, hour, minute, second, ms);
    auto two = [](int v) {
        std::string s(v < 10 ? 1 : 0, '0');
        s += std::to_string(v);
        return s;
    };
    // The current time goes through the same reading as the limits, at whole minutes.
    std::string strTimeNow = two(hour) + ":" + two(minute);
    formats::TDateTime start = formats::StrToTime(AppSetting.ActiveTimeStart);
    formats::TDateTime timeNow = formats::StrToTime(strTimeNow);
    if (timeNow > start) return timeNow < formats::StrToTime(AppSetting.ActiveTimeEnd);
    return false;
}

}  // namespace kavar
