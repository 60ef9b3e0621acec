// Test identities for the certificate store: a key and a self-signed
// certificate made with the openssl tool, and NSS databases holding them,
// made with certutil and pk12util.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace quenta_test {

struct StoreIdentity {
  std::string key;       // PEM private key
  std::string pub;       // PEM public key
  std::string cert;      // PEM certificate
  std::string der;       // DER certificate
  std::string p12;       // PKCS#12 with key and certificate, password kP12Password
  std::string certText;  // the PEM certificate's text
};

constexpr const char kP12Password[] = "p12-pass";

inline bool RunQuiet(const std::string& command) {
  std::string out;
  return RunCommand("(" + command + ") >/dev/null 2>&1", &out) == 0;
}

// keyOptions go to "openssl req -newkey", e.g. "rsa:2048".
inline bool MakeStoreIdentity(const std::string& dir, const std::string& name,
                              const std::string& keyOptions, StoreIdentity& id) {
  const std::string base = dir + "/" + name;
  id.key = base + ".key.pem";
  id.pub = base + ".pub.pem";
  id.cert = base + ".cert.pem";
  id.der = base + ".cert.der";
  id.p12 = base + ".p12";
  const bool ok =
      RunQuiet("openssl req -x509 -newkey " + keyOptions + " -nodes -keyout " + id.key +
               " -out " + id.cert + " -days 30 -subj '/CN=Quenta " + name + "'") &&
      RunQuiet("openssl pkey -in " + id.key + " -pubout -out " + id.pub) &&
      RunQuiet("openssl x509 -in " + id.cert + " -outform DER -out " + id.der) &&
      RunQuiet("openssl pkcs12 -export -inkey " + id.key + " -in " + id.cert + " -out " + id.p12 +
               " -name '" + name + "' -passout pass:" + kP12Password);
  id.certText = ReadFile(id.cert);
  return ok;
}

// A new database in dbDir (created). An empty password leaves it unlocked.
// identities are imported with their keys; certificatesOnly without.
inline bool MakeNssDatabase(const std::string& dbDir, const std::string& password,
                            const std::vector<const StoreIdentity*>& identities,
                            const std::vector<const StoreIdentity*>& certificatesOnly = {}) {
  const std::string pwFile = dbDir + ".pw";
  WriteFile(pwFile, password + "\n");
  bool ok = RunQuiet("mkdir -p " + dbDir) &&
            RunQuiet("certutil -N -d sql:" + dbDir +
                     (password.empty() ? std::string(" --empty-password") : " -f " + pwFile));
  for (const StoreIdentity* id : identities)
    ok = ok && RunQuiet("pk12util -i " + id->p12 + " -d sql:" + dbDir +
                        (password.empty() ? std::string(" -K ''") : " -k " + pwFile) + " -W " +
                        kP12Password);
  int n = 0;
  for (const StoreIdentity* id : certificatesOnly)
    ok = ok && RunQuiet("certutil -A -d sql:" + dbDir + " -n only" + std::to_string(n++) +
                        " -t ,, -i " + id->cert);
  return ok;
}

// Signature of the file's content with the identity's key, made by openssl.
inline std::string OpensslSha1Signature(const StoreIdentity& id, const std::string& dataFile) {
  const std::string sig = dataFile + ".sig";
  if (!RunQuiet("openssl dgst -sha1 -sign " + id.key + " -out " + sig + " " + dataFile))
    return std::string();
  return ReadFile(sig);
}

}  // namespace quenta_test
