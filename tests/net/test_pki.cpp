#include "tests/net/test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace orvo::test {

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPtr NewKey() {
  KeyPtr key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  if (!key) throw std::runtime_error("key generation failed");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) throw std::runtime_error("bad extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// issuer == nullptr: self-signed by key.
CertPtr MakeCert(const std::string& commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca,
                 const std::vector<std::string>& names, int notBeforeDays, int notAfterDays) {
  CertPtr cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(notBeforeDays) * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(notAfterDays) * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Orvo Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                             -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (ca) {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
    AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    if (issuer != nullptr) AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid");
    std::string san;
    for (const auto& n : names) san += (san.empty() ? "DNS:" : ",DNS:") + n;
    if (!san.empty()) AddExtension(cert.get(), signer, NID_subject_alt_name, san.c_str());
  }
  if (X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0) {
    throw std::runtime_error("signing failed");
  }
  return cert;
}

std::string Pem(X509* cert) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  PEM_write_bio_X509(bio.get(), cert);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::string Pem(EVP_PKEY* key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

struct TestPki::Keys {
  KeyPtr caKey{nullptr, EVP_PKEY_free};
  CertPtr caCert{nullptr, X509_free};
};

TestPki::TestPki() : keys_(std::make_unique<Keys>()) {
  keys_->caKey = NewKey();
  keys_->caCert = MakeCert("Orvo Test CA", keys_->caKey.get(), nullptr, nullptr, true, {}, -1, 365);
  caPem_ = Pem(keys_->caCert.get());
}

TestPki::~TestPki() = default;

TlsIdentity TestPki::Leaf(const std::vector<std::string>& names, int notBeforeDays, int notAfterDays) const {
  KeyPtr key = NewKey();
  CertPtr cert = MakeCert(names.empty() ? "leaf" : names.front(), key.get(), keys_->caCert.get(),
                          keys_->caKey.get(), false, names, notBeforeDays, notAfterDays);
  return TlsIdentity{Pem(cert.get()), Pem(key.get())};
}

TlsIdentity TestPki::SelfSigned(const std::string& name) {
  KeyPtr key = NewKey();
  CertPtr cert = MakeCert(name, key.get(), nullptr, nullptr, false, {name}, -1, 30);
  return TlsIdentity{Pem(cert.get()), Pem(key.get())};
}

}  // namespace orvo::test
