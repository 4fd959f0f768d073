#pragma once

#include <memory>
#include <string>
#include <vector>

// Certificates made with OpenSSL for one test run: an authority and the server certificates it
// issues. Used by the program's tests and the stand-in's, so it needs nothing but OpenSSL.
namespace test_certificates {

struct Identity {
    std::string certificatePem;
    std::string keyPem;
};

class Authority {
  public:
    explicit Authority(const std::string& name = "Drivoro test authority");
    // One made elsewhere, from its PEM certificate and key.
    Authority(const std::string& certificatePem, const std::string& keyPem);
    ~Authority();
    Authority(const Authority&) = delete;
    Authority& operator=(const Authority&) = delete;

    const std::string& certificatePem() const { return certificatePem_; }

    // A server certificate for `names` (an IP address is put in as one, anything else as a
    // DNS name), valid from notBefore to notAfter seconds from now.
    Identity issue(const std::vector<std::string>& names, long notBefore = -3600,
                   long notAfter = 30L * 24 * 3600) const;

  private:
    struct Keys;
    std::unique_ptr<Keys> keys_;
    std::string certificatePem_;
};

}  // namespace test_certificates
