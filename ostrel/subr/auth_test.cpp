// Tests of the authentication baton: whose name becomes the author, where
// credentials come from and where they are kept, when a password may travel,
// and what happens with server certificates.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "ostrel_auth.h"
#include "ostrel_config.h"
#include "ostrel_pools.h"
#include "ostrel_pty.h"
#include "ostrel_test_support.h"

namespace {

using ostrel_test::chain_text;

TEST(AuthBatonTest, UserNameComesFromTheOptionElseTheLogin) {
  apr_pool_t *pool = ostrel_pool_create(nullptr);
  struct passwd *me = getpwuid(geteuid());
  const char *login = me ? me->pw_name : nullptr;

  struct Case {
    const char *given;
    const char *expected;
  } cases[] = {
      {"alice", "alice"},
      {"", nullptr},  // explicitly no user: commits carry no author
      {nullptr, login},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given ? c.given : "(null)");
    char given_copy[16] = "";
    const char *given = c.given;
    if (c.given) {
      // The baton must keep its own copy of what it was given.
      snprintf(given_copy, sizeof given_copy, "%s", c.given);
      given = given_copy;
    }
    ostrel_auth_baton *ab = nullptr;
    ASSERT_EQ(ostrel_cmdline_create_auth_baton(&ab, true, given, "secret", nullptr, true, false,
                                               nullptr, nullptr, nullptr, pool),
              nullptr);
    given_copy[0] = 'X';
    if (c.expected)
      EXPECT_STREQ(ostrel_auth_username(ab), c.expected);
    else
      EXPECT_EQ(ostrel_auth_username(ab), nullptr);
    EXPECT_STREQ(ostrel_auth_password(ab), "secret");
  }
  apr_pool_destroy(pool);
}

// A configuration directory of its own, and a way to make batons on it.
class AuthTest : public ostrel_test::PoolTest {
 protected:
  void SetUp() override {
    PoolTest::SetUp();
    ASSERT_EQ(ostrel_config_get_config(&config_, dir_.path().c_str(), pool_), nullptr);
    cfg_ = static_cast<ostrel_config *>(
        apr_hash_get(config_, OSTREL_CONFIG_CATEGORY_CONFIG, APR_HASH_KEY_STRING));
  }

  ostrel_auth_baton *baton(const char *user, const char *password, bool non_interactive = true,
                           bool no_auth_cache = false) {
    ostrel_auth_baton *ab = nullptr;
    EXPECT_EQ(
        ostrel_cmdline_create_auth_baton(&ab, non_interactive, user, password, dir_.path().c_str(),
                                         no_auth_cache, false, cfg_, nullptr, nullptr, pool_),
        nullptr);
    ostrel_auth_set_warning_func(
        ab,
        [](void *self, const ostrel_error *w) {
          static_cast<AuthTest *>(self)->warnings_ += chain_text(w);
        },
        this);
    return ab;
  }

  std::vector<std::string> auth_files() {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(dir_.path() + "/auth", ec))
      names.push_back(e.path().filename().string());
    return names;
  }

  ostrel_test::TempDir dir_;
  apr_hash_t *config_ = nullptr;
  ostrel_config *cfg_ = nullptr;
  std::string warnings_;
};

TEST_F(AuthTest, GivenCredentialsComeFirstAndAreCachedPrivatelyAfterSuccess) {
  const ostrel_auth_cred *cred;
  ostrel_auth_iterstate *state;
  ASSERT_EQ(ostrel_auth_first_credentials(&cred, &state, baton("alice", "pw 1"),
                                          "<https://h> repos", pool_),
            nullptr);
  EXPECT_STREQ(cred->username, "alice");
  EXPECT_STREQ(cred->password, "pw 1");
  EXPECT_TRUE(auth_files().empty());  // nothing kept before the server said yes
  ASSERT_EQ(ostrel_auth_save_credentials(state, pool_), nullptr);

  std::vector<std::string> files = auth_files();
  ASSERT_EQ(files.size(), 1u);
  struct stat st;
  ASSERT_EQ(::stat((dir_.path() + "/auth").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dir_.path() + "/auth/" + files[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A later run without a password finds them; another realm does not.
  ASSERT_EQ(ostrel_auth_first_credentials(&cred, &state, baton(nullptr, nullptr),
                                          "<https://h> repos", pool_),
            nullptr);
  EXPECT_STREQ(cred->username, "alice");
  EXPECT_STREQ(cred->password, "pw 1");
  // A different user name given: the cached password is not theirs.
  ostrel_error *err = ostrel_auth_first_credentials(&cred, &state, baton("bob", nullptr),
                                                    "<https://h> repos", pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_AUTHN_NO_CREDENTIALS);
  ostrel_error_clear(err);
  err = ostrel_auth_first_credentials(&cred, &state, baton(nullptr, nullptr), "other realm", pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_NE(chain_text(err).find("realm: other realm"), std::string::npos) << chain_text(err);
  EXPECT_NE(chain_text(err).find("--username and --password"), std::string::npos);
  ostrel_error_clear(err);
  EXPECT_EQ(warnings_, "");
}

TEST_F(AuthTest, NothingIsCachedWhenCachingIsOff) {
  struct Case {
    const char *name;
    bool no_auth_cache;
    const char *store_passwords;
  } cases[] = {
      {"--no-auth-cache", true, nullptr},
      {"store-passwords = no", false, "no"},
      {"store-passwords = off", false, "off"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ostrel_config_set(cfg_, "auth", "store-passwords", c.store_passwords), nullptr);
    const ostrel_auth_cred *cred;
    ostrel_auth_iterstate *state;
    ASSERT_EQ(ostrel_auth_first_credentials(
                  &cred, &state, baton("alice", "pw", true, c.no_auth_cache), "realm", pool_),
              nullptr);
    ASSERT_EQ(ostrel_auth_save_credentials(state, pool_), nullptr);
    EXPECT_TRUE(auth_files().empty());
  }
}

TEST_F(AuthTest, ACacheFileOthersCanReadIsIgnoredWithAWarning) {
  const ostrel_auth_cred *cred;
  ostrel_auth_iterstate *state;
  ASSERT_EQ(ostrel_auth_first_credentials(&cred, &state, baton("alice", "pw"), "realm", pool_),
            nullptr);
  ASSERT_EQ(ostrel_auth_save_credentials(state, pool_), nullptr);
  std::string file = dir_.path() + "/auth/" + auth_files().at(0);
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);

  ostrel_error *err =
      ostrel_auth_first_credentials(&cred, &state, baton(nullptr, nullptr), "realm", pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_AUTHN_NO_CREDENTIALS);
  ostrel_error_clear(err);
  EXPECT_NE(warnings_.find("Ignoring the cached authentication file '" + file + "'"),
            std::string::npos)
      << warnings_;
  EXPECT_NE(warnings_.find("0600"), std::string::npos);
}

TEST_F(AuthTest, ARefusalWithoutAPromptEndsTheChain) {
  const ostrel_auth_cred *cred;
  ostrel_auth_iterstate *state;
  ASSERT_EQ(ostrel_auth_first_credentials(&cred, &state, baton("alice", "wrong"), "realm", pool_),
            nullptr);
  ostrel_error *err = ostrel_auth_next_credentials(&cred, state, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_AUTHN_FAILED);
  EXPECT_EQ(cred, nullptr);
  EXPECT_EQ(chain_text(err).find("wrong\n"), std::string::npos);  // never the password
  ostrel_error_clear(err);
}

TEST_F(AuthTest, TheTerminalIsAskedAtMostThreeTimesAndThePasswordNotEchoed) {
  // The child walks the chain as a client would, refused every time but
  // the last; it prints what it got to check it from here.
  std::string realm = "the realm";
  auto walk = [this, &realm] {
    ostrel_auth_baton *ab = baton(nullptr, nullptr, false);
    const ostrel_auth_cred *cred;
    ostrel_auth_iterstate *state;
    ostrel_error *err = ostrel_auth_first_credentials(&cred, &state, ab, realm.c_str(), pool_);
    int tries = 1;
    while (!err && std::string(cred->password) != "right") {
      err = ostrel_auth_next_credentials(&cred, state, pool_);
      if (!err) ++tries;
    }
    if (err) {
      std::printf("ERROR %d tries: %s\n", tries, chain_text(err).c_str());
      ostrel_error_clear(err);
      return 1;
    }
    std::printf("GOT %s after %d tries\n", cred->username, tries);
    err = ostrel_auth_save_credentials(state, pool_);
    return err ? 2 : 0;
  };

  ostrel_test::PtyResult r =
      ostrel_test::run_in_pty(walk, {{"User name: ", "carol\n"},
                                     {"Password for 'carol' (realm the realm): ", "bad-one\n"},
                                     {"User name: ", "carol\n"},
                                     {"Password", "right\n"}});
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(r.output.find("Authentication realm: the realm"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("carol"), std::string::npos);  // the user name is echoed
  EXPECT_NE(r.output.find("GOT carol after 2 tries"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("bad-one"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("right"), std::string::npos) << r.output;
  EXPECT_EQ(auth_files().size(), 1u);  // kept for the next run

  r = ostrel_test::run_in_pty(walk, {});
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(r.output.find("GOT carol after 1 tries"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Password"), std::string::npos) << r.output;  // not asked

  realm = "another realm";
  r = ostrel_test::run_in_pty(walk, {{"User name: ", "x\n"},
                                     {"Password", "no1\n"},
                                     {"User name: ", "x\n"},
                                     {"Password", "no2\n"},
                                     {"User name: ", "x\n"},
                                     {"Password", "no3\n"}});
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_NE(r.output.find("ERROR 3 tries: Authentication failed for realm another realm"),
            std::string::npos)
      << r.output;
}

TEST_F(AuthTest, WithoutATerminalTheErrorSaysWhatToPass) {
  // setsid() leaves the child without a controlling terminal.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();
    const ostrel_auth_cred *cred;
    ostrel_auth_iterstate *state;
    ostrel_error *err =
        ostrel_auth_first_credentials(&cred, &state, baton(nullptr, nullptr, false), "r", pool_);
    bool ok = err && err->apr_err == OSTREL_ERR_AUTHN_NO_CREDENTIALS &&
              chain_text(err).find("no terminal") != std::string::npos;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(AuthTransportTest, PasswordsTravelOnlyEncryptedOrOnLoopback) {
  struct Case {
    const char *scheme, *host;
    bool ok;
  } cases[] = {
      {"https", "example.org", true},     {"http", "127.0.0.1", true},
      {"http", "127.8.9.10", true},       {"http", "localhost", true},
      {"http", "LocalHost.", true},       {"http", "[::1]", true},
      {"http", "::ffff:127.0.0.1", true}, {"http", "example.org", false},
      {"http", "10.0.0.1", false},        {"http", "128.0.0.1", false},
      {"http", "[::2]", false},           {"http", "localhost.example.org", false},
      {"ftp", "127.0.0.1", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.scheme) + "://" + c.host);
    ostrel_error *err = ostrel_auth_check_transport(c.scheme, c.host, "http://x/repo");
    EXPECT_EQ(err == nullptr, c.ok);
    if (err) {
      EXPECT_EQ(err->apr_err, OSTREL_ERR_AUTHN_INSECURE);
      EXPECT_NE(chain_text(err).find("Refusing to send a password to 'http://x/repo'"),
                std::string::npos);
      ostrel_error_clear(err);
    }
  }
}

// A self-signed certificate for COMMON_NAME, made now.
std::string make_certificate_der(const char *common_name) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_NAME *name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(common_name), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  X509_sign(cert.get(), key.get(), EVP_sha256());
  unsigned char *der = nullptr;
  int len = i2d_X509(cert.get(), &der);
  std::string out(reinterpret_cast<char *>(der), static_cast<std::size_t>(len));
  OPENSSL_free(der);
  return out;
}

class CertTest : public AuthTest {
 protected:
  ostrel_error *check(ostrel_auth_baton *ab, const std::string &der, bool verified = false) {
    return ostrel_auth_check_server_cert(ab, "host.test:443",
                                         reinterpret_cast<const unsigned char *>(der.data()),
                                         der.size(), verified, "self-signed", pool_);
  }
  std::string first_ = make_certificate_der("host.test");
  std::string second_ = make_certificate_der("host.test");
};

TEST_F(CertTest, DescribesSubjectIssuerValidityAndFingerprint) {
  ostrel_auth_cert_info *info;
  ASSERT_EQ(ostrel_auth_cert_describe(&info, reinterpret_cast<const unsigned char *>(first_.data()),
                                      first_.size(), pool_),
            nullptr);
  EXPECT_STREQ(info->subject, "CN=host.test");
  EXPECT_STREQ(info->issuer, "CN=host.test");
  EXPECT_NE(std::string(info->valid_until).find("GMT"), std::string::npos);
  EXPECT_EQ(std::strlen(info->fingerprint), 32u * 3 - 1);

  ostrel_error *err = ostrel_auth_cert_describe(
      &info, reinterpret_cast<const unsigned char *>(first_.data()), first_.size() - 1, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_CERT_BAD);
  ostrel_error_clear(err);
}

TEST_F(CertTest, NonInteractiveRefusalNamesTheHostAndTheFingerprint) {
  ostrel_auth_cert_info *info;
  ASSERT_EQ(ostrel_auth_cert_describe(&info, reinterpret_cast<const unsigned char *>(first_.data()),
                                      first_.size(), pool_),
            nullptr);
  EXPECT_EQ(check(baton(nullptr, nullptr), first_, true), nullptr);  // the authorities vouch
  ostrel_error *err = check(baton(nullptr, nullptr), first_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_CERT_UNTRUSTED);
  std::string text = chain_text(err);
  EXPECT_NE(text.find("'host.test:443' is not trusted (self-signed)"), std::string::npos) << text;
  EXPECT_NE(text.find(info->fingerprint), std::string::npos) << text;
  ostrel_error_clear(err);
}

TEST_F(CertTest, AcceptedOnceLastsOneRunAcceptedForGoodIsKeptAndAChangeIsRefused) {
  struct Step {
    const char *answer;
    const std::string *cert;
    int status;  // of the child: 0 accepted, 1 refused as untrusted, 2 refused as changed
  };
  auto run = [this](const Step &step) {
    return ostrel_test::run_in_pty(
        [&] {
          ostrel_auth_baton *ab = baton(nullptr, nullptr, false);
          ostrel_error *err = check(ab, *step.cert);
          if (!err) err = check(ab, *step.cert);  // a second connection is not asked again
          int status = !err ? 0 : err->apr_err == OSTREL_ERR_CERT_CHANGED ? 2 : 1;
          if (err) std::printf("%s", chain_text(err).c_str());
          ostrel_error_clear(err);
          return status;
        },
        {{"accept it for good (g)? [r] ", std::string(step.answer) + "\n"}});
  };
  const Step steps[] = {
      {"r", &first_, 1},
      {"o", &first_, 0},
      {"o", &first_, 0},  // once means once: asked again
      {"g", &first_, 0},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.answer);
    ostrel_test::PtyResult r = run(step);
    ASSERT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_status, step.status) << r.output;
    EXPECT_NE(r.output.find("subject:     CN=host.test"), std::string::npos) << r.output;
  }
  ASSERT_EQ(auth_files().size(), 1u);
  struct stat st;
  ASSERT_EQ(::stat((dir_.path() + "/auth/" + auth_files()[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Kept: no question any more, even non-interactively.
  EXPECT_EQ(check(baton(nullptr, nullptr), first_), nullptr);
  // Another certificate for the same server: refused loudly, even when an
  // authority vouches for it.
  for (bool verified : {false, true}) {
    ostrel_error *err = check(baton(nullptr, nullptr), second_, verified);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->apr_err, OSTREL_ERR_CERT_CHANGED);
    EXPECT_NE(chain_text(err).find("HAS CHANGED"), std::string::npos);
    ostrel_error_clear(err);
  }
}

TEST_F(AuthTest, TheCaFileComesFromTheConfiguration) {
  EXPECT_EQ(ostrel_auth_ca_file(baton(nullptr, nullptr)), nullptr);
  ASSERT_EQ(ostrel_config_set(cfg_, "https", "ca-file", "/etc/my-ca.pem"), nullptr);
  EXPECT_STREQ(ostrel_auth_ca_file(baton(nullptr, nullptr)), "/etc/my-ca.pem");
  ostrel_error *err = ostrel_config_set(cfg_, "auth", "store-passwords", "maybe");
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_OPTION);
  ostrel_error_clear(err);
}

}  // namespace
