// The window's fixed texts, byte for byte (generated; do not retype: they mix two
// forms of yeh, carry U+0640, and one menu caption ends in U+200E).
#pragma once

namespace kavar::panel::texts {

inline constexpr char kCaption[] = "نرم افزار ارسال پیامک کاوار";
inline constexpr char kTabSetting[] = "                    تـنـظـیـمـات                      ";
inline constexpr char kTabSend[] = "                    ارسـال پـیـامـک                     ";
inline constexpr char kTabHelp[] = "                  راهـنـمـا                  ";
inline constexpr char kGrpSMSPanel[] = "  تنظیمات پنل ارسال پیامک  ";
inline constexpr char kGrpDatabase[] = "  تنظیمات بانک اطلاعاتی  ";
inline constexpr char kTools[] = "جعبه ابزار";
inline constexpr char kSaveSetting[] = "ثـبـت تـنـظـیـمـات";
inline constexpr char kServiceState[] = "وضعیت سرویس";
inline constexpr char kUserName[] = "نام کاربري";
inline constexpr char kPassword[] = "کلمه عبور";
inline constexpr char kNormalSender[] = "شماره معمولی فرستنده ";
inline constexpr char kServiceSender[] = "شماره خدماتی فرستنده ";
inline constexpr char kAutoSendSMS[] = "ارسال خـودکـار پیامکهای بانک اطلاعاتی";
inline constexpr char kTimerDelay[] = "فاصله زمانی ارسال پیامک";
inline constexpr char kSeconds[] = "ثانیه";
inline constexpr char kSwitchOn[] = "روشن";
inline constexpr char kSwitchOff[] = "خاموش";
inline constexpr char kServiceSwitch[] = "سـرویـس ارسـال پـیـامـک";
inline constexpr char kActiveTimeFrom[] = "زمـان مـجـاز ارسـال پـیـامـک از ساعت";
inline constexpr char kActiveTimeTo[] = "تـا";
inline constexpr char kSetupDB[] = "نصب / بروزرسانی  بانک اطلاعاتی پیامک";
inline constexpr char kSetupVELMO[] = "نصب / حذف  سرویس پیامک";
inline constexpr char kVELMOLog[] = " نمایش پیامهای امروز سرویس پیامک";
inline constexpr char kReport[] = "گزارشگیری از پیامهای ارسالی\u200E";
inline constexpr char kVersionOpen[] = "( نگارش: ";
inline constexpr char kVersionClose[] = " )";
inline constexpr char kServiceNotInstalled[] = "سرویس ارسال پیامک نصب نشده است";
inline constexpr char kSettingsSaved[] = "تنظیمات ثبت شد";
inline constexpr char kDatabaseInstalled[] = "نصب بانک اطلاعاتی با موفقیت انجام شد";
inline constexpr char kToNumbers[] = "گيرندگان";
inline constexpr char kMessage[] = "متن پيامک";
inline constexpr char kFlash[] = "ارسال فلش باشد";
inline constexpr char kBtnSendSMS[] = "SendSMS <- ارسال پيامک";
inline constexpr char kBtnGetCredit[] = "GetCredit <- مانده اعتبار";
inline constexpr char kBtnGetDelivery[] = "GetDelivery <- گرفتن وضعيت پيامک";
inline constexpr char kBtnGetInboxCount[] = "GetInboxCount <- گرفتن تعداد پيامک هاي دريافتي";
inline constexpr char kBtnGetMessages[] = "GetMessages <- گرفتن پيامهاي ارسالي و دريافتي";
inline constexpr char kEraser[] = "پاککن";
inline constexpr char kResult[] = "نـتـيـجـه";
inline constexpr char kDeliveryNumber[] = "شماره = ";
inline constexpr char kDeliveryState[] = ", وضعيت = ";
inline constexpr char kAddNumberCaption[] = "شماره را وارد نماييد";
inline constexpr char kAddNumberPrompt[] = "شماره موبايل";

}  // namespace kavar::panel::texts
