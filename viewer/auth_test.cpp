#include "viewer/auth.h"

#include <gtest/gtest.h>

namespace rcweb {
namespace {

using Status = Auth::LoginStatus;

class AuthTest : public ::testing::Test {
 protected:
  Auth make(Auth::Options o = {}) {
    return Auth(o, [this] { return now; });
  }
  static std::string Cookie(const Auth::LoginResult& r) {
    return "theme=dark; " + std::string(kSessionCookie) + "=" + r.sessionId;
  }
  double now = 1000;
};

TEST_F(AuthTest, TokensSignInOnceWithTheirRole) {
  Auth auth = make();
  std::string control = auth.issueToken(Role::kControl);
  std::string view = auth.issueToken(Role::kView);
  EXPECT_EQ(control.size(), 64u);
  EXPECT_NE(control, view);
  auto a = auth.login("10.0.0.1", "token=" + control);
  EXPECT_EQ(a.status, Status::kOk);
  EXPECT_EQ(a.role, Role::kControl);
  EXPECT_EQ(a.sessionId.size(), 64u);
  EXPECT_EQ(auth.login("10.0.0.1", "token=" + control).status, Status::kDenied);
  auto b = auth.login("10.0.0.2", "x=1&token=" + view);
  EXPECT_EQ(b.role, Role::kView);
  EXPECT_EQ(auth.sessionFromCookie(Cookie(a)), Role::kControl);
  EXPECT_EQ(auth.sessionFromCookie(Cookie(b)), Role::kView);
  EXPECT_EQ(Auth::SetCookieValue(a.sessionId),
            "rcweb_session=" + a.sessionId + "; Path=/; HttpOnly; Secure; SameSite=Strict");
}

TEST_F(AuthTest, PasswordsAreFormDecodedAndGiveTheirRole) {
  Auth::Options o;
  o.controlPassword = "p&ss w+rd";
  o.viewPassword = "look";
  Auth auth = make(o);
  EXPECT_EQ(auth.login("a", "password=p%26ss+w%2Brd").role, Role::kControl);
  EXPECT_EQ(auth.login("a", "password=p%26ss+w%2Brd").status, Status::kOk);  // lasting
  EXPECT_EQ(auth.login("a", "password=look").role, Role::kView);
  for (const char* bad : {"password=", "password=look2", "password=p%2", "", "token="}) {
    EXPECT_EQ(auth.login("b", bad).status, Status::kDenied) << bad;
  }
  // Without passwords configured, none is accepted.
  Auth none = make();
  EXPECT_EQ(none.login("a", "password=").status, Status::kDenied);
}

TEST_F(AuthTest, FiveFailuresInARowLockTheAddressForTenMinutes) {
  Auth::Options o;
  o.controlPassword = "right";
  Auth auth = make(o);
  // A success in between starts the count again.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(auth.login("x", "password=no").status, Status::kDenied);
  EXPECT_EQ(auth.login("x", "password=right").status, Status::kOk);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(auth.login("x", "password=no").status, Status::kDenied);
  EXPECT_FALSE(auth.locked("x"));
  EXPECT_EQ(auth.login("x", "password=no").status, Status::kDenied);
  EXPECT_TRUE(auth.locked("x"));
  EXPECT_EQ(auth.login("x", "password=right").status, Status::kLocked);
  EXPECT_FALSE(auth.locked("y"));
  EXPECT_EQ(auth.login("y", "password=right").status, Status::kOk);
  now += 599;
  EXPECT_EQ(auth.login("x", "password=right").status, Status::kLocked);
  now += 2;
  EXPECT_FALSE(auth.locked("x"));
  EXPECT_EQ(auth.login("x", "password=right").status, Status::kOk);
}

TEST_F(AuthTest, SessionsEndAfterIdlingButNotWhileAttached) {
  Auth::Options o;
  o.idleTimeoutSeconds = 100;
  Auth auth = make(o);
  auto a = auth.login("h", "token=" + auth.issueToken(Role::kControl));
  auto b = auth.login("h", "token=" + auth.issueToken(Role::kControl));
  auth.attach(b.sessionId);
  now += 90;
  EXPECT_TRUE(auth.sessionFromCookie(Cookie(a)));  // a lookup is activity
  now += 90;
  EXPECT_TRUE(auth.sessionFromCookie(Cookie(a)));
  now += 101;
  EXPECT_FALSE(auth.sessionFromCookie(Cookie(a)));
  EXPECT_TRUE(auth.sessionFromCookie(Cookie(b)));
  auth.detach(b.sessionId);
  now += 101;
  EXPECT_FALSE(auth.sessionFromCookie(Cookie(b)));
  EXPECT_EQ(auth.sessions(), 0u);
}

TEST_F(AuthTest, CookieHeaders) {
  std::string id(64, 'a');
  EXPECT_EQ(Auth::CookieSessionId("rcweb_session=" + id), id);
  EXPECT_EQ(Auth::CookieSessionId("a=b;rcweb_session=" + id + "; c=d"), id);
  for (std::string bad : {std::string(), "rcweb_session=" + std::string(63, 'a'),
                          "rcweb_session=" + std::string(64, 'A'),
                          "rcweb_session=" + std::string(63, 'a') + "g", "xrcweb_session=" + id}) {
    EXPECT_FALSE(Auth::CookieSessionId(bad)) << bad;
  }
  Auth auth = make();
  EXPECT_FALSE(auth.sessionFromCookie("rcweb_session=" + id));
}

TEST(Origin, OnlyThePagesOwnOrigin) {
  EXPECT_TRUE(Auth::OriginAllowed("https://desk.example:8443", "desk.example:8443"));
  EXPECT_TRUE(Auth::OriginAllowed("https://Desk.Example:8443", "desk.example:8443"));
  EXPECT_TRUE(Auth::OriginAllowed("https://[::1]:8443", "[::1]:8443"));
  for (const char* origin : {"http://desk.example:8443", "https://desk.example:8444",
                             "https://desk.example", "https://evil.example", "null", ""}) {
    EXPECT_FALSE(Auth::OriginAllowed(origin, "desk.example:8443")) << origin;
  }
  EXPECT_FALSE(Auth::OriginAllowed("https://", ""));
}

TEST(FormFields, Decoding) {
  EXPECT_EQ(FormField("a=1&token=x%20y+z", "token"), "x y z");
  EXPECT_EQ(FormField("token=1&token=2", "token"), "1");
  EXPECT_FALSE(FormField("tokenx=1", "token"));
  EXPECT_FALSE(FormField("token=%zz", "token"));
}

}  // namespace
}  // namespace rcweb
