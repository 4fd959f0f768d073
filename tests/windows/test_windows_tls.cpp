// HTTPS through Schannel, under Wine: Linux `openssl s_server` processes
// (tests/windows/tls_fixture, started by CTest) with certificates of a throw-away authority. The
// Windows build trusts no authority of its own: only what the system's root store holds.
#include <windows.h>
// Needs the types of windows.h.
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include "platform/downloads.h"

namespace {

// The fixture's folder, as Wine reaches the Linux file system.
QString fixtureFile(const QString& name) {
    const QString folder = qEnvironmentVariable("DRIVORO_TLS_FIXTURE");
    return folder.isEmpty() ? QString() : QStringLiteral("Z:") + folder + QLatin1Char('/') + name;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString url(const char* server) {
    return QStringLiteral("https://127.0.0.1:%1/picture")
        .arg(QString::fromLatin1(
            readAll(fixtureFile(QString::fromLatin1(server) + ".port")).trimmed()));
}

// The authority in the current user's root store while it lives. (A real PC asks the user
// before it adds one; Wine does not.)
class TrustedRoot {
  public:
    explicit TrustedRoot(const QByteArray& pem) {
        DWORD size = 0;
        if (!CryptStringToBinaryA(pem.constData(), static_cast<DWORD>(pem.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
            return;
        QByteArray der(static_cast<qsizetype>(size), '\0');
        CryptStringToBinaryA(pem.constData(), static_cast<DWORD>(pem.size()),
                             CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()), &size,
                             nullptr, nullptr);
        store_ =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        if (store_) {
            added_ = CertAddEncodedCertificateToStore(
                         store_, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.constData()),
                         size, CERT_STORE_ADD_REPLACE_EXISTING, &cert_) != FALSE;
        }
    }
    ~TrustedRoot() {
        if (cert_)
            CertDeleteCertificateFromStore(cert_);  // frees the context too
        if (store_)
            CertCloseStore(store_, 0);
    }
    TrustedRoot(const TrustedRoot&) = delete;
    TrustedRoot& operator=(const TrustedRoot&) = delete;
    bool added() const { return added_; }

  private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT cert_ = nullptr;
    bool added_ = false;
};

// Wine's Schannel checks no server certificate at all: any authority, host name or date passes.
bool underWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

TEST(WindowsTls, AnAuthorityOfTheRootStoreServesThePicture) {
    if (fixtureFile({}).isEmpty())
        GTEST_SKIP() << "run by CTest, which starts the servers (tests/windows/tls_fixture)";
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("a.jpg"));
    const auto fetch = [&target](const QString& address) {
        return platform::downloadUrlToFile(address, target, {});
    };
    const bool checksCertificates = !underWine();

    // Not in the root store: refused, as by a build for drivers.
    if (checksCertificates) {
        EXPECT_FALSE(fetch(url("good")).ok);
        EXPECT_FALSE(QFile::exists(target));
    }

    const TrustedRoot trusted(readAll(fixtureFile(QStringLiteral("ca.pem"))));
    ASSERT_TRUE(trusted.added());
    const platform::DownloadResult good = fetch(url("good"));
    EXPECT_TRUE(good.ok) << good.error.toStdString();
    EXPECT_EQ(readAll(target), "a picture over TLS");

    // The authority trusted, the certificate still not good enough: the file stays as it was.
    if (!checksCertificates)
        GTEST_SKIP() << "under Wine, whose Schannel accepts any certificate, the refusals of "
                        "another host's and an expired certificate are left to a Windows PC";
    for (const char* server : {"other", "expired"}) {
        const platform::DownloadResult refused = fetch(url(server));
        EXPECT_FALSE(refused.ok) << server;
        EXPECT_EQ(readAll(target), "a picture over TLS") << server;
    }
}

}  // namespace
