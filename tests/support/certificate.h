#pragma once
// A throw-away TLS certificate for tests: self-signed, P-256, CN=localhost with the address
// 127.0.0.1 among its names, valid for a day. It is its own CA, so a client given it as
// --cafile (or -CAfile) accepts a server that presents it.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

struct CertificateFiles {
    std::string cert;  // PEM certificate
    std::string key;   // PEM private key, unencrypted
    bool made = false;  // false when the openssl tool failed (the paths are set anyway)
};

// Makes the pair as dir/certName and dir/keyName with the openssl tool, creating dir when
// missing; any older files of those names are replaced.
inline CertificateFiles MakeCertificate(const std::filesystem::path& dir, const std::string& certName = "cert.pem",
                                        const std::string& keyName = "key.pem") {
    CertificateFiles f{(dir / certName).string(), (dir / keyName).string()};
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                            "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 -keyout '" + f.key +
                            "' -out '" + f.cert + "' >/dev/null 2>&1";
    f.made = !ec && std::system(cmd.c_str()) == 0;
    return f;
}

}  // namespace testsupport
