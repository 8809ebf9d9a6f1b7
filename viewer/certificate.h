// rcweb's own TLS certificate: a self-signed ECDSA P-256 certificate made with OpenSSL on first
// start and kept (key mode 0600) in the configuration directory.
#pragma once

#include <string>
#include <vector>

namespace rcweb {

// $XDG_CONFIG_HOME/tavrindesk, else ~/.config/tavrindesk.
std::string ConfigDir();

struct CertificateFiles {
  std::string cert, key;
  bool created = false;
};

// Uses dir/rcweb-cert.pem and dir/rcweb-key.pem when both exist; otherwise makes them, with the
// names (DNS) and addresses (IP) given as subject-alternative names. False and *error on failure.
bool EnsureSelfSigned(const std::string& dir, const std::vector<std::string>& names,
                      CertificateFiles* out, std::string* error);

// The SHA-256 fingerprint of the PEM certificate in `path`, as AA:BB:...; empty on failure.
std::string CertificateFingerprint(const std::string& path);

}  // namespace rcweb
