// The fixed texts of the checks and of the provider codes, and the password key, copied
// verbatim. The Persian texts mix Arabic and Persian yeh on purpose: keep them as they are.
#pragma once

#include <cstdint>

namespace kavar::texts {

struct CodeText {
    std::int32_t code;
    const char* text;
};

inline constexpr CodeText kMessageStatus[] = {
    {-1, "خطا در ارتباط با سرويس دهنده"},
    {0, "ارسال با موفقيت انجام شد"},
    {1, "نام کاربر يا کلمه عبور نامعتبر مي باشد"},
    {2, "کاربر مسدود شده است"},
    {3, "ارسال از خطوط عمومي از طريق وب سرويس امکان پذير نمي باشد"},
    {4, "محدوديت در ارسال روزانه"},
    {5, "تعداد گيرندگان حداکثر 100 شماره مي باشد"},
    {6, "خط فرسنتده غيرفعال است"},
    {7, "متن پيامک شامل کلمات فيلتر شده است"},
    {8, "اعتبار کافي نيست"},
    {9, "سامانه در حال بروز رساني است"},
    {10, "وب سرويس غيرفعال است"},
    {11, "پياده سازي نشده است"},
};

inline constexpr CodeText kDeliveryState[] = {
    {-5, "برای گرفتن گزارش تحویل حداقل یک دقیقه بعد از ارسال اقدام نمایید"},
    {-4, "به علت اینکه پیام در صف ارسال مخابرات میباشد، امکان گرفتن گزارش تحویل وجود ندارد"},
    {-3, "به علت اینکه مهلت یک هفتهای گرفتن گزارش پایان یافته است، امکان گرفتن گزارش تحویل  وجود ندارد"},
    {-2, "پیام با این کد وجود ندارد (SmsId نامعتبر است)"},
    {-1, "خطا در ارتباط با سرویسدهنده"},
    {0, "ارسال شده به مخابرات"},
    {1, "رسیده به گوشی"},
    {2, "نرسیده به گوشی"},
    {3, "خطای مخابراتی"},
    {4, "خطای نامشخص"},
    {5, "رسیده به مخابرات"},
    {6, "نرسیده به مخابرات"},
    {7, "مسدود شده توسط مقصد"},
    {8, "نامشخص"},
    {9, "مخابرات پیام را مردود اعلام کرد"},
    {10, "کنسل شده توسط اپراتور"},
};

inline constexpr char kEnterMessage[] = "متن پیامک را وارد نمایید";
inline constexpr char kEnterNumbers[] = "شماره گیرندگان را وارد نمایید";
inline constexpr char kEnterSenderNumber[] = "شماره فرستنده را وارد نمایید";
inline constexpr char kEnterSmsId[] = "را وارد نمایید SmsId";
inline constexpr char kEnterUserName[] = "نام کاربری را وارد نمایید";
inline constexpr char kEnterPassword[] = "کلمه عبور را وارد نمایید";
inline constexpr char kAccountRefused[] = "نام کاربری یا کلمه عبور اشتباه میباشد";
inline constexpr char kAccountInactive[] = "کاربر شما فعال نمیباشد";
inline constexpr char kCreditPrefix[] = "مانده اعتبار : ";
inline constexpr char kSmsSuffix[] = " پیامک";
inline constexpr char kInboxPrefix[] = "تعداد پیامکهای دریافتی : ";
inline constexpr char kFilePrefix[] = "فایل ";
inline constexpr char kNotFoundSuffix[] = " یافت نشد. ";
inline constexpr char kScrambleKey[] = "Vq8@Lm2#Tx5$Hb9%Rw3^Nf7&Zc1*Jd6!Ke4_Py0.Gs8-Ua2@Xo5#Ci9$Wl3%Bn7^Mt1&Qe6*Dv4!Sh0_Fr8.Ij2-Ak5@Yg9#Ep3$Oz7%Ru1^Ly6&Hc4*Nw0!Tb8_Xm2.";

}  // namespace kavar::texts
