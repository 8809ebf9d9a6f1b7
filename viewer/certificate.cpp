#include "viewer/certificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace rcweb {

namespace {

template <typename T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool MakeDirs(const std::string& dir) {
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at == dir.size() || dir[at] == '/') {
      std::string part = dir.substr(0, at);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

bool IsAddress(const std::string& s) {
  unsigned char buf[16];
  return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

// Writes `write(FILE*)` into `path`, created anew with `mode`.
template <typename F>
bool WriteFile(const std::string& path, mode_t mode, F write) {
  ::unlink(path.c_str());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  std::FILE* f = fdopen(fd, "w");
  if (!f) {
    ::close(fd);
    return false;
  }
  bool ok = write(f);
  return std::fclose(f) == 0 && ok;
}

}  // namespace

std::string ConfigDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/tavrindesk";
  const char* home = std::getenv("HOME");
  std::string base = home && *home ? home : "";
  if (base.empty()) {
    if (passwd* pw = getpwuid(getuid())) base = pw->pw_dir;
  }
  return base + "/.config/tavrindesk";
}

bool EnsureSelfSigned(const std::string& dir, const std::vector<std::string>& names,
                      CertificateFiles* out, std::string* error) {
  out->cert = dir + "/rcweb-cert.pem";
  out->key = dir + "/rcweb-key.pem";
  out->created = false;
  if (Exists(out->cert) && Exists(out->key)) return true;
  if (!MakeDirs(dir)) {
    *error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
  }
  PkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr x509(X509_new());
  if (!key || !x509) {
    *error = "cannot make a key";
    return false;
  }
  uint8_t serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = X509_set_version(x509.get(), 2) == 1 && bn &&
            BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x509.get())) != nullptr &&
            X509_gmtime_adj(X509_getm_notBefore(x509.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(x509.get()), 60L * 60 * 24 * 825) != nullptr &&
            X509_set_pubkey(x509.get(), key.get()) == 1;
  BN_free(bn);
  X509_NAME* name = X509_get_subject_name(x509.get());
  const std::string cn = names.empty() ? "localhost" : names.front();
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(x509.get(), name) == 1;
  std::string san;
  for (const auto& n : names) {
    if (n.empty() || san.find(":" + n + ",") != std::string::npos) continue;
    san += (IsAddress(n) ? "IP:" : "DNS:") + n + ",";
  }
  if (!san.empty()) san.pop_back();
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x509.get(), x509.get(), nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair<int, std::string>{NID_subject_alt_name, san},
                            {NID_basic_constraints, "critical,CA:FALSE"},
                            {NID_key_usage, "critical,digitalSignature"},
                            {NID_ext_key_usage, "serverAuth"}}) {
    if (!ok || value.empty()) continue;
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    ok = ext && X509_add_ext(x509.get(), ext, -1) == 1;
    X509_EXTENSION_free(ext);
  }
  ok = ok && X509_sign(x509.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) {
    *error = "cannot make the certificate";
    return false;
  }
  if (!WriteFile(out->key, 0600,
                 [&](std::FILE* f) {
                   return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr,
                                               nullptr) == 1;
                 }) ||
      !WriteFile(out->cert, 0644,
                 [&](std::FILE* f) { return PEM_write_X509(f, x509.get()) == 1; })) {
    *error = "cannot write " + out->key + " or " + out->cert + ": " + std::strerror(errno);
    return false;
  }
  out->created = true;
  return true;
}

std::string CertificateFingerprint(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return {};
  X509Ptr x509(PEM_read_X509(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  if (!x509) return {};
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(x509.get(), EVP_sha256(), md, &n) != 1) return {};
  std::string out;
  char part[4];
  for (unsigned int i = 0; i < n; ++i) {
    std::snprintf(part, sizeof part, "%02X", md[i]);
    if (i) out += ':';
    out += part;
  }
  return out;
}

}  // namespace rcweb
