#include "ServiceFixture.h"
#include "base/Encoding.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <regex>

namespace quorlinth::testing {
namespace {

class SignInFlow : public OnEachStorage<ServiceTest> {
protected:
    struct CaptchaChallenge {
        std::string id;
        std::string answer;
    };

    CaptchaChallenge captcha() {
        HttpReply reply = client->request("POST", "/v1/auth/captcha", "", Json::object());
        EXPECT_EQ(200, reply.status) << reply.body;
        std::string id = field::string(reply.json(), "captcha_id", "");
        EXPECT_EQ(0u, field::string(reply.json(), "image", "").rfind("data:image/png;base64,", 0));
        HttpReply answer = client->request("GET", "/v1/dev/captchas/" + id);
        return {id, field::string(answer.json(), "answer", "")};
    }

    HttpReply requestCode(const std::string& phone) {
        CaptchaChallenge challenge = captcha();
        return client->request("POST", "/v1/auth/sms-code", "",
                               Json{{"phone", phone},
                                    {"purpose", "login"},
                                    {"captcha_id", challenge.id},
                                    {"captcha_answer", challenge.answer}});
    }

    // The six digits of the newest development SMS to `phone`.
    std::string lastCode(const std::string& phone) {
        Json outbox = client->request("GET", "/v1/dev/outbox").json();
        std::string code;
        std::smatch digits;
        for (const Json& message : outbox["messages"]) {
            std::string text = field::string(message, "text", "");
            if (field::string(message, "phone", "") == phone &&
                std::regex_search(text, digits, std::regex("[0-9]{6}")))
                code = digits.str();
        }
        return code;
    }

    HttpReply smsLogin(const std::string& phone, const std::string& code) {
        return client->request("POST", "/v1/auth/sms-login", "",
                               Json{{"phone", phone}, {"code", code}, {"require_password_setup", true}});
    }
};

TEST_P(SignInFlow, CaptchaIsARealPngAndAnswersOnce) {
    HttpReply reply = client->request("POST", "/v1/auth/captcha", "", Json::object());
    ASSERT_EQ(200, reply.status);
    std::string image = field::string(reply.json(), "image", "");
    auto png = base64Decode(image.substr(std::string("data:image/png;base64,").size()));
    ASSERT_TRUE(png.has_value());
    ASSERT_GT(png->size(), 8u);
    EXPECT_EQ(0x89, (*png)[0]);
    EXPECT_EQ('P', (*png)[1]);

    std::string id = field::string(reply.json(), "captcha_id", "");
    Json wrong{{"phone", "13900000002"}, {"purpose", "login"}, {"captcha_id", id}, {"captcha_answer", "x"}};
    HttpReply refused = client->request("POST", "/v1/auth/sms-code", "", wrong);
    EXPECT_EQ(400, refused.status);
    EXPECT_EQ("captcha_invalid", refused.error());
    EXPECT_EQ(404, client->request("GET", "/v1/dev/captchas/" + id).status) << "a wrong answer uses it up";
}

TEST_P(SignInFlow, NewPhoneSignsUpThroughPasswordSetup) {
    const std::string phone = "13900000002";
    HttpReply sent = requestCode(phone);
    ASSERT_EQ(200, sent.status) << sent.body;
    EXPECT_EQ(60, field::int64(sent.json(), "resend_after", 0));
    std::string code = lastCode(phone);
    ASSERT_EQ(6u, code.size());

    HttpReply pending = smsLogin(phone, code);
    ASSERT_EQ(200, pending.status) << pending.body;
    EXPECT_EQ(true, pending.json()["needs_password_setup"]);
    std::string setupToken = field::string(pending.json(), "access_token", "");
    EXPECT_EQ(phone, pending.json()["account"]["username"]);
    HttpReply early = client->request("GET", "/v1/devices", setupToken);
    EXPECT_EQ(403, early.status) << "a setup token is not yet an account token";

    for (const std::string& bad : {std::string(11, 'a'), std::string(73, 'a')}) {
        HttpReply refused =
            client->request("POST", "/v1/auth/password-setup", setupToken, Json{{"new_password", bad}});
        EXPECT_EQ(400, refused.status);
        EXPECT_EQ("invalid_password", refused.error());
    }
    HttpReply done =
        client->request("POST", "/v1/auth/password-setup", setupToken, Json{{"new_password", "四个汉字"}});
    ASSERT_EQ(200, done.status) << done.body << " (four Chinese characters are 12 bytes)";
    EXPECT_GT(field::int64(done.json(), "expires_at", 0), int64_t(time(nullptr)) + 86000);
    EXPECT_FALSE(bind(setupToken, "PHONE-MAC").id.empty()) << "the setup token became the account token";

    HttpReply again =
        client->request("POST", "/v1/auth/password-setup", setupToken, Json{{"new_password", "x"}});
    EXPECT_EQ(401, again.status);
    EXPECT_EQ("password_setup_expired", again.error());
    EXPECT_FALSE(signIn(phone, "四个汉字").empty());
}

TEST_P(SignInFlow, PasswordSetupExpiresAndCannotReplaceAPassword) {
    const std::string phone = "13900000003";
    ASSERT_EQ(200, requestCode(phone).status);
    std::string first = field::string(smsLogin(phone, lastCode(phone)).json(), "access_token", "");
    advanceClock(61);
    ASSERT_EQ(200, requestCode(phone).status);
    std::string second = field::string(smsLogin(phone, lastCode(phone)).json(), "access_token", "");
    ASSERT_EQ(200, client
                       ->request("POST", "/v1/auth/password-setup", second,
                                 Json{{"new_password", "a long enough password"}})
                       .status);
    HttpReply already = client->request("POST", "/v1/auth/password-setup", first,
                                        Json{{"new_password", "another long password"}});
    EXPECT_EQ(409, already.status);
    EXPECT_EQ("password_already_set", already.error());

    // An existing account with a password signs in directly by SMS.
    advanceClock(61);
    ASSERT_EQ(200, requestCode(kPhone).status);
    HttpReply direct = smsLogin(kPhone, lastCode(kPhone));
    ASSERT_EQ(200, direct.status);
    EXPECT_EQ(false, direct.json()["needs_password_setup"]);
    EXPECT_EQ(kUser, direct.json()["account"]["username"]);

    const std::string late = "13900000004";
    ASSERT_EQ(200, requestCode(late).status);
    std::string token = field::string(smsLogin(late, lastCode(late)).json(), "access_token", "");
    advanceClock(16 * 60);
    HttpReply expired = client->request("POST", "/v1/auth/password-setup", token,
                                        Json{{"new_password", "a long enough password"}});
    EXPECT_EQ(401, expired.status);
    EXPECT_EQ("password_setup_expired", expired.error());
}

TEST_P(SignInFlow, SmsCodesAreRateLimitedCheckedAndExpire) {
    const std::string phone = "13900000005";
    ASSERT_EQ(200, requestCode(phone).status);
    HttpReply tooSoon = requestCode(phone);
    EXPECT_EQ(429, tooSoon.status);
    EXPECT_EQ("sms_too_frequent", tooSoon.error());
    int64_t wait = field::int64(tooSoon.json(), "resend_after", 0);
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, 60);

    std::string code = lastCode(phone);
    std::string wrong = code == "000000" ? "000001" : "000000";
    HttpReply invalid = smsLogin(phone, wrong);
    EXPECT_EQ(400, invalid.status);
    EXPECT_EQ("code_invalid", invalid.error());
    advanceClock(5 * 60 + 1);
    HttpReply expired = smsLogin(phone, code);
    EXPECT_EQ(400, expired.status);
    EXPECT_EQ("code_expired", expired.error());

    HttpReply unknown = smsLogin("13900000099", "123456");
    EXPECT_EQ("code_expired", unknown.error());
    HttpReply badPhone = requestCode("12345");
    EXPECT_EQ(400, badPhone.status);
}

TEST_P(SignInFlow, SmsCodesAreStoredKeyedWithASecretOutsideTheDatabase) {
    ASSERT_EQ(200, requestCode("13900000009").status);
    std::string code = lastCode("13900000009");
    const char* sql = "SELECT code_digest FROM sms_codes WHERE phone = '13900000009'";
    ProgramRun stored = storage() == Storage::sqlite
                            ? runProgram({"sqlite3", service->database().string(), sql})
                            : runProgram({"psql", databaseUrl(), "-tAc", sql});
    std::string digest = stored.out.substr(0, stored.out.find('\n'));
    std::filesystem::path keyFile = storage() == Storage::sqlite
                                        ? std::filesystem::path(service->database().string() + ".key")
                                        : dir.path() / "service.key";
    std::string key = readTextFile(keyFile);
    ASSERT_EQ(32u, key.size());
    EXPECT_EQ(std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
              std::filesystem::status(keyFile).permissions());
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::string text = "13900000009|" + code;
    HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), mac, &length);
    EXPECT_EQ(hexEncode(Bytes(mac, mac + length)), digest);
    EXPECT_EQ(200, smsLogin("13900000009", code).status);
}

TEST_P(SignInFlow, SmsCodeStopsAfterFiveWrongGuesses) {
    const std::string phone = "13900000006";
    ASSERT_EQ(200, requestCode(phone).status);
    std::string code = lastCode(phone);
    std::string wrong = code == "000000" ? "000001" : "000000";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ("code_invalid", smsLogin(phone, wrong).error());
    EXPECT_EQ("code_expired", smsLogin(phone, code).error());

    // A new code replaces the spent one, guesses counted afresh.
    advanceClock(61);
    ASSERT_EQ(200, requestCode(phone).status);
    std::string fresh = lastCode(phone);
    EXPECT_EQ("code_invalid", smsLogin(phone, fresh == "000000" ? "000001" : "000000").error());
    EXPECT_EQ(200, smsLogin(phone, fresh).status);
}

TEST_P(SignInFlow, QrCodeIsApprovedByASignedInPhoneAndCollectedOnce) {
    HttpReply created = client->request("POST", "/v1/auth/qr", "", Json{{"name", "客厅的 Mac"}});
    ASSERT_EQ(200, created.status) << created.body;
    Json qr = created.json();
    EXPECT_EQ(180, field::int64(qr, "expires_in", 0));
    std::string id = field::string(qr, "id", "");
    std::string secret = field::string(qr, "poll_secret", "");
    EXPECT_NE(std::string::npos, field::string(qr, "qr", "").find(id));
    Json poll{{"id", id}, {"secret", secret}};

    EXPECT_EQ("pending", client->request("POST", "/v1/auth/qr/poll", "", poll).json()["status"]);
    HttpReply wrongSecret =
        client->request("POST", "/v1/auth/qr/poll", "", Json{{"id", id}, {"secret", "x"}});
    EXPECT_EQ(403, wrongSecret.status);

    std::string phoneToken = signIn();
    HttpReply noToken =
        client->request("POST", "/v1/auth/qr/approve", "", Json{{"id", id}, {"approve", true}});
    EXPECT_EQ(401, noToken.status);
    HttpReply approved =
        client->request("POST", "/v1/auth/qr/approve", phoneToken, Json{{"id", id}, {"approve", true}});
    ASSERT_EQ(200, approved.status) << approved.body;
    EXPECT_EQ("客厅的 Mac", approved.json()["name"]);
    HttpReply twice =
        client->request("POST", "/v1/auth/qr/approve", phoneToken, Json{{"id", id}, {"approve", true}});
    EXPECT_EQ(409, twice.status);
    EXPECT_EQ("qr_used", twice.error());

    HttpReply collected = client->request("POST", "/v1/auth/qr/poll", "", poll);
    ASSERT_EQ(200, collected.status);
    EXPECT_EQ("approved", collected.json()["status"]);
    EXPECT_EQ(kUser, collected.json()["account"]["username"]);
    EXPECT_FALSE(bind(field::string(collected.json(), "access_token", ""), "QR-MAC").id.empty());
    HttpReply again = client->request("POST", "/v1/auth/qr/poll", "", poll);
    EXPECT_EQ(409, again.status);
    EXPECT_EQ("qr_used", again.error());
}

TEST_P(SignInFlow, QrCodeCanBeDeniedAndExpires) {
    std::string phoneToken = signIn();
    Json denied = client->request("POST", "/v1/auth/qr", "", Json{{"name", "Mac"}}).json();
    ASSERT_EQ(200, client
                       ->request("POST", "/v1/auth/qr/approve", phoneToken,
                                 Json{{"id", denied["id"]}, {"approve", false}})
                       .status);
    EXPECT_EQ("denied", client
                            ->request("POST", "/v1/auth/qr/poll", "",
                                      Json{{"id", denied["id"]}, {"secret", denied["poll_secret"]}})
                            .json()["status"]);

    Json late = client->request("POST", "/v1/auth/qr", "", Json{{"name", "Mac"}}).json();
    advanceClock(181);
    HttpReply expiredPoll = client->request("POST", "/v1/auth/qr/poll", "",
                                            Json{{"id", late["id"]}, {"secret", late["poll_secret"]}});
    EXPECT_EQ(410, expiredPoll.status);
    EXPECT_EQ("qr_expired", expiredPoll.error());
    phoneToken = signIn();
    HttpReply expiredApprove = client->request("POST", "/v1/auth/qr/approve", phoneToken,
                                               Json{{"id", late["id"]}, {"approve", true}});
    EXPECT_EQ("qr_expired", expiredApprove.error());
}

INSTANTIATE_TEST_SUITE_P(Backend, SignInFlow, kEachStorage, storageName);

} // namespace
} // namespace quorlinth::testing
