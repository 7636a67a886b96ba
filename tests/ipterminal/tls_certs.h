// Certificates for the TLS tests, made at test time with the openssl
// command: a CA, the host's certificate and key (optionally encrypted), a
// terminal certificate signed by the CA, a rogue one signed by another CA,
// and 2048-bit DH parameters (a standard group: generating new ones takes a
// minute).
#pragma once

#include "test_util.h"

#include <cstdlib>
#include <string>

namespace ryn::test {

class TlsFiles {
public:
    TlsFiles() {
        const std::string d = dir_.path();
        auto run = [](const std::string &cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; };
        auto ca = [&](const std::string &name) {
            return run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name + " -keyout " + d +
                       "/" + name + ".key -out " + d + "/" + name + ".pem");
        };
        auto signedBy = [&](const std::string &name, const std::string &issuer, const std::string &keyOpts) {
            return run("openssl req -newkey rsa:2048 " + keyOpts + " -subj /CN=" + name + " -keyout " + d + "/" +
                       name + ".key -out " + d + "/" + name + ".csr") &&
                   run("openssl x509 -req -days 2 -in " + d + "/" + name + ".csr -CA " + d + "/" + issuer +
                       ".pem -CAkey " + d + "/" + issuer + ".key -CAcreateserial -out " + d + "/" + name + ".pem");
        };
        ok_ = ca("ca") && ca("rogue-ca") && signedBy("host", "ca", "-passout pass:secret-pw") &&
              signedBy("terminal", "ca", "-nodes") && signedBy("rogue", "rogue-ca", "-nodes") &&
              run("openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out " + d + "/dh.pem");
    }
    bool ok() const { return ok_; }
    std::string path(const std::string &name) const { return dir_.file(name); }

private:
    TempDir dir_;
    bool ok_ = false;
};

}  // namespace ryn::test
