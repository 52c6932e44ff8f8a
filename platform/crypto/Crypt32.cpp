// crypt32's certificate functions over OpenSSL.
//
// A certificate context lays its CERT_INFO out as Windows does: the fields are the exact bytes
// of the DER certificate (walked with the bounds-checked reader), so the serial number keeps a
// leading 0x00, the names are the certificate's own encodings and the public key is the bit
// string's content. OpenSSL checks that the whole encoding is a certificate and gives the times.
#include <wincrypt.h>

#include "AnsiText.h"
#include "Der.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* object) const { Free(object); }
};
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpenSslDeleter<X509_NAME, X509_NAME_free>>;
using Asn1ObjectPtr =
    std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using GeneralNamesPtr =
    std::unique_ptr<GENERAL_NAMES, OpenSslDeleter<GENERAL_NAMES, GENERAL_NAMES_free>>;

struct OpenSslText {
    unsigned char* data = nullptr;
    ~OpenSslText() { OPENSSL_free(data); }
};

constexpr const char* kSubjectAltNameOid = "2.5.29.17";
constexpr const char* kIssuerAltNameOid = "2.5.29.18";

// Seconds between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr long long kFileTimeEpochOffset = 11644473600LL;
constexpr long long kFileTimeTicksPerSecond = 10000000LL;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DWORD derErrorCode(crypto::DerError error) {
    switch (error) {
    case crypto::DerError::BadTag:
        return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    case crypto::DerError::EndOfData:
        return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    default:
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    }
}

// Everything one context points to, owned in one place. `context` comes first, so the pointer
// given out is the storage's own address.
struct CertificateStorage {
    CERT_CONTEXT context{};
    CERT_INFO info{};
    std::vector<BYTE> encoded;
    std::vector<BYTE> serial;
    std::string signatureOid;
    std::vector<BYTE> signatureParameters;
    std::vector<BYTE> issuer;
    std::vector<BYTE> subject;
    std::string keyOid;
    std::vector<BYTE> keyParameters;
    std::vector<BYTE> keyBits;
    std::vector<BYTE> issuerUniqueId;
    std::vector<BYTE> subjectUniqueId;
    std::vector<std::string> extensionOids;
    std::vector<std::vector<BYTE>> extensionValues;
    std::vector<CERT_EXTENSION> extensions;
    // What hCertStore points to: the context's own store, which holds only this context.
    int ownStore = 0;
};

class CertificateTable {
public:
    static CertificateTable& instance() {
        static CertificateTable table;
        return table;
    }
    PCCERT_CONTEXT add(std::unique_ptr<CertificateStorage> storage) {
        std::lock_guard lock(mutex_);
        PCCERT_CONTEXT context = &storage->context;
        live_.emplace(context, std::move(storage));
        return context;
    }
    bool remove(PCCERT_CONTEXT context) {
        std::unique_ptr<CertificateStorage> storage;
        {
            std::lock_guard lock(mutex_);
            auto it = live_.find(context);
            if (it == live_.end())
                return false;
            storage = std::move(it->second);
            live_.erase(it);
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::map<PCCERT_CONTEXT, std::unique_ptr<CertificateStorage>> live_;
};

std::vector<BYTE> bytesOf(const crypto::DerElement& element, bool whole) {
    const BYTE* start = whole ? element.start : element.content;
    const size_t size = whole ? element.size : element.length;
    return std::vector<BYTE>(start, start + size);
}

// The dotted text of a DER OBJECT IDENTIFIER element; empty when it is none.
std::string dottedOid(const crypto::DerElement& element) {
    const unsigned char* p = element.start;
    Asn1ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(element.size)));
    if (!object)
        return {};
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object.get(), 1);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof text)
        return {};
    return text;
}

// AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters ANY OPTIONAL }
crypto::DerError readAlgorithm(crypto::DerReader& reader, std::string& oid,
                               std::vector<BYTE>& parameters) {
    crypto::DerElement sequence;
    crypto::DerElement id;
    crypto::DerError error = reader.next(sequence, crypto::kDerSequence);
    if (error != crypto::DerError::None)
        return error;
    crypto::DerReader inner(sequence.content, sequence.length);
    if ((error = inner.next(id, crypto::kDerObjectId)) != crypto::DerError::None)
        return error;
    oid = dottedOid(id);
    if (oid.empty())
        return crypto::DerError::Corrupt;
    parameters.clear();
    if (!inner.atEnd()) {
        crypto::DerElement value;
        if ((error = inner.next(value)) != crypto::DerError::None)
            return error;
        parameters = bytesOf(value, true);
    }
    return inner.atEnd() ? crypto::DerError::None : crypto::DerError::Corrupt;
}

// A BIT STRING's bytes after its unused-bits octet.
crypto::DerError readBits(const crypto::DerElement& element, std::vector<BYTE>& bits,
                          DWORD& unusedBits) {
    if (element.length == 0 || element.content[0] > 7)
        return crypto::DerError::Corrupt;
    unusedBits = element.content[0];
    bits.assign(element.content + 1, element.content + element.length);
    return crypto::DerError::None;
}

crypto::DerError readExtensions(const crypto::DerElement& wrapper, CertificateStorage& s) {
    crypto::DerReader outer(wrapper.content, wrapper.length);
    crypto::DerElement list;
    crypto::DerError error = outer.next(list, crypto::kDerSequence);
    if (error != crypto::DerError::None)
        return error;
    if (!outer.atEnd())
        return crypto::DerError::Corrupt;
    crypto::DerReader reader(list.content, list.length);
    std::vector<BOOL> critical;
    while (!reader.atEnd()) {
        crypto::DerElement extension;
        crypto::DerElement id;
        crypto::DerElement value;
        if ((error = reader.next(extension, crypto::kDerSequence)) != crypto::DerError::None)
            return error;
        crypto::DerReader fields(extension.content, extension.length);
        if ((error = fields.next(id, crypto::kDerObjectId)) != crypto::DerError::None)
            return error;
        BOOL isCritical = FALSE;
        if (fields.peekTag() == crypto::kDerBoolean) {
            crypto::DerElement flag;
            if ((error = fields.next(flag)) != crypto::DerError::None)
                return error;
            if (flag.length != 1)
                return crypto::DerError::Corrupt;
            isCritical = flag.content[0] != 0 ? TRUE : FALSE;
        }
        if ((error = fields.next(value, crypto::kDerOctetString)) != crypto::DerError::None)
            return error;
        if (!fields.atEnd())
            return crypto::DerError::Corrupt;
        std::string oid = dottedOid(id);
        if (oid.empty())
            return crypto::DerError::Corrupt;
        s.extensionOids.push_back(std::move(oid));
        s.extensionValues.push_back(bytesOf(value, false));
        critical.push_back(isCritical);
    }
    // The vectors are complete, so the pointers into them stay valid.
    s.extensions.resize(s.extensionOids.size());
    for (size_t i = 0; i < s.extensions.size(); ++i) {
        s.extensions[i].pszObjId = s.extensionOids[i].data();
        s.extensions[i].fCritical = critical[i];
        s.extensions[i].Value.cbData = static_cast<DWORD>(s.extensionValues[i].size());
        s.extensions[i].Value.pbData = s.extensionValues[i].data();
    }
    return crypto::DerError::None;
}

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature }, with
// TBSCertificate ::= SEQUENCE { [0] version OPTIONAL, serialNumber, signature, issuer, validity,
// subject, subjectPublicKeyInfo, [1] issuerUniqueID, [2] subjectUniqueID, [3] extensions }.
crypto::DerError readFields(CertificateStorage& s) {
    crypto::DerReader whole(s.encoded.data(), s.encoded.size());
    crypto::DerElement certificate;
    crypto::DerError error = whole.next(certificate, crypto::kDerSequence);
    if (error != crypto::DerError::None)
        return error;
    if (!whole.atEnd())
        return crypto::DerError::Corrupt;
    crypto::DerReader parts(certificate.content, certificate.length);
    crypto::DerElement tbs;
    if ((error = parts.next(tbs, crypto::kDerSequence)) != crypto::DerError::None)
        return error;

    crypto::DerReader r(tbs.content, tbs.length);
    crypto::DerElement element;
    s.info.dwVersion = 0;
    if (r.peekTag() == crypto::kDerContext0) {
        if ((error = r.next(element)) != crypto::DerError::None)
            return error;
        crypto::DerReader versionReader(element.content, element.length);
        crypto::DerElement version;
        if ((error = versionReader.next(version, crypto::kDerInteger)) != crypto::DerError::None)
            return error;
        if (version.length != 1 || version.content[0] > 2)
            return crypto::DerError::Corrupt;
        s.info.dwVersion = version.content[0];
    }
    if ((error = r.next(element, crypto::kDerInteger)) != crypto::DerError::None)
        return error;
    if (element.length == 0)
        return crypto::DerError::Corrupt;
    // As Windows keeps it: the content octets exactly, least significant first.
    s.serial.assign(element.content, element.content + element.length);
    std::reverse(s.serial.begin(), s.serial.end());

    if ((error = readAlgorithm(r, s.signatureOid, s.signatureParameters)) != crypto::DerError::None)
        return error;
    if ((error = r.next(element, crypto::kDerSequence)) != crypto::DerError::None)
        return error;
    s.issuer = bytesOf(element, true);
    if ((error = r.next(element, crypto::kDerSequence)) != crypto::DerError::None)
        return error; // validity: read from OpenSSL's decoding
    if ((error = r.next(element, crypto::kDerSequence)) != crypto::DerError::None)
        return error;
    s.subject = bytesOf(element, true);

    crypto::DerElement keyInfo;
    if ((error = r.next(keyInfo, crypto::kDerSequence)) != crypto::DerError::None)
        return error;
    crypto::DerReader keyReader(keyInfo.content, keyInfo.length);
    if ((error = readAlgorithm(keyReader, s.keyOid, s.keyParameters)) != crypto::DerError::None)
        return error;
    crypto::DerElement bits;
    if ((error = keyReader.next(bits, crypto::kDerBitString)) != crypto::DerError::None)
        return error;
    DWORD unused = 0;
    if ((error = readBits(bits, s.keyBits, unused)) != crypto::DerError::None)
        return error;
    s.info.SubjectPublicKeyInfo.PublicKey.cUnusedBits = unused;
    if (!keyReader.atEnd())
        return crypto::DerError::Corrupt;

    if (r.peekTag() == crypto::kDerContext1Primitive) {
        if ((error = r.next(element)) != crypto::DerError::None ||
            (error = readBits(element, s.issuerUniqueId, s.info.IssuerUniqueId.cUnusedBits)) !=
                crypto::DerError::None)
            return error;
    }
    if (r.peekTag() == crypto::kDerContext2Primitive) {
        if ((error = r.next(element)) != crypto::DerError::None ||
            (error = readBits(element, s.subjectUniqueId, s.info.SubjectUniqueId.cUnusedBits)) !=
                crypto::DerError::None)
            return error;
    }
    if (r.peekTag() == crypto::kDerContext3) {
        if ((error = r.next(element)) != crypto::DerError::None ||
            (error = readExtensions(element, s)) != crypto::DerError::None)
            return error;
    }
    return r.atEnd() ? crypto::DerError::None : crypto::DerError::Corrupt;
}

bool toFileTime(const ASN1_TIME* time, FILETIME& out) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return false;
    const long long seconds = static_cast<long long>(timegm(&tm));
    const long long ticks = (seconds + kFileTimeEpochOffset) * kFileTimeTicksPerSecond;
    if (ticks < 0)
        return false;
    out.dwLowDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) & 0xFFFFFFFFu);
    out.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
    return true;
}

unsigned long long ticksOf(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void pointFields(CertificateStorage& s) {
    CERT_INFO& info = s.info;
    info.SerialNumber = {static_cast<DWORD>(s.serial.size()), s.serial.data()};
    info.SignatureAlgorithm.pszObjId = s.signatureOid.data();
    info.SignatureAlgorithm.Parameters = {static_cast<DWORD>(s.signatureParameters.size()),
                                          s.signatureParameters.data()};
    info.Issuer = {static_cast<DWORD>(s.issuer.size()), s.issuer.data()};
    info.Subject = {static_cast<DWORD>(s.subject.size()), s.subject.data()};
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = s.keyOid.data();
    info.SubjectPublicKeyInfo.Algorithm.Parameters = {
        static_cast<DWORD>(s.keyParameters.size()), s.keyParameters.data()};
    info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(s.keyBits.size());
    info.SubjectPublicKeyInfo.PublicKey.pbData = s.keyBits.data();
    info.IssuerUniqueId.cbData = static_cast<DWORD>(s.issuerUniqueId.size());
    info.IssuerUniqueId.pbData = s.issuerUniqueId.empty() ? nullptr : s.issuerUniqueId.data();
    info.SubjectUniqueId.cbData = static_cast<DWORD>(s.subjectUniqueId.size());
    info.SubjectUniqueId.pbData = s.subjectUniqueId.empty() ? nullptr : s.subjectUniqueId.data();
    info.cExtension = static_cast<DWORD>(s.extensions.size());
    info.rgExtension = s.extensions.empty() ? nullptr : s.extensions.data();

    s.context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    s.context.pbCertEncoded = s.encoded.data();
    s.context.cbCertEncoded = static_cast<DWORD>(s.encoded.size());
    s.context.pCertInfo = &s.info;
    s.context.hCertStore = &s.ownStore;
}

// ---- names ----

// An ASN.1 string of a certificate as UTF-16; OpenSSL converts every string type to UTF-8.
std::u16string wideText(const ASN1_STRING* value) {
    OpenSslText utf8;
    const int length = ASN1_STRING_to_UTF8(&utf8.data, value);
    if (length <= 0)
        return {};
    return crypto::utf8ToWide(
        std::string_view(reinterpret_cast<const char*>(utf8.data), static_cast<size_t>(length)));
}

std::u16string firstAttribute(const X509_NAME* name, int nid) {
    for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(name, nid, i)) {
        std::u16string text = wideText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
        if (!text.empty())
            return text;
    }
    return {};
}

std::u16string firstRfc822Name(const CERT_INFO& info, const char* extensionOid) {
    for (DWORD i = 0; i < info.cExtension; ++i) {
        const CERT_EXTENSION& extension = info.rgExtension[i];
        if (extension.pszObjId == nullptr || std::strcmp(extension.pszObjId, extensionOid) != 0)
            continue;
        const unsigned char* p = extension.Value.pbData;
        GeneralNamesPtr names(d2i_GENERAL_NAMES(nullptr, &p, extension.Value.cbData));
        if (!names)
            return {};
        for (int k = 0; k < sk_GENERAL_NAME_num(names.get()); ++k) {
            const GENERAL_NAME* general = sk_GENERAL_NAME_value(names.get(), k);
            if (general->type == GEN_EMAIL) {
                std::u16string text = wideText(general->d.rfc822Name);
                if (!text.empty())
                    return text;
            }
        }
        return {};
    }
    return {};
}

// The simple display name: common name, else organizational unit, organization, e-mail
// address; else the first rfc822Name of the alternative name; else the first attribute.
std::u16string simpleDisplayName(const CERT_INFO& info, bool issuer) {
    const CERT_NAME_BLOB& blob = issuer ? info.Issuer : info.Subject;
    X509NamePtr name;
    if (blob.pbData != nullptr && blob.cbData > 0) {
        const unsigned char* p = blob.pbData;
        name.reset(d2i_X509_NAME(nullptr, &p, static_cast<long>(blob.cbData)));
    }
    if (name) {
        for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                        NID_pkcs9_emailAddress}) {
            std::u16string text = firstAttribute(name.get(), nid);
            if (!text.empty())
                return text;
        }
    }
    std::u16string alternative =
        firstRfc822Name(info, issuer ? kIssuerAltNameOid : kSubjectAltNameOid);
    if (!alternative.empty())
        return alternative;
    if (name && X509_NAME_entry_count(name.get()) > 0)
        return wideText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name.get(), 0)));
    return {};
}

// Writes the ANSI form as CertGetNameStringA returns it: the count includes the terminator; a
// short buffer gets the characters that fit whole, terminated.
DWORD writeAnsi(const std::u16string& text, LPSTR buffer, DWORD size) {
    std::string ansi;
    std::vector<size_t> boundaries; // ANSI length after each whole character
    for (size_t i = 0; i < text.size();) {
        size_t units = 1;
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            units = 2;
        ansi += crypto::wideToAnsi(std::u16string_view(text).substr(i, units));
        boundaries.push_back(ansi.size());
        i += units;
    }
    const DWORD needed = static_cast<DWORD>(ansi.size() + 1);
    if (buffer == nullptr || size == 0)
        return needed;
    size_t fits = 0;
    for (size_t boundary : boundaries) {
        if (boundary + 1 > size)
            break;
        fits = boundary;
    }
    std::memcpy(buffer, ansi.data(), fits);
    buffer[fits] = '\0';
    return static_cast<DWORD>(fits + 1);
}

// ---- public keys ----

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }, nothing after it.
DWORD readRsaPublicKey(const CRYPT_BIT_BLOB& bits, std::vector<BYTE>& modulus, DWORD& exponent) {
    if (bits.pbData == nullptr || bits.cbData == 0)
        return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    if (bits.cUnusedBits != 0)
        return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    crypto::DerReader whole(bits.pbData, bits.cbData);
    crypto::DerElement sequence;
    crypto::DerElement n;
    crypto::DerElement e;
    crypto::DerError error = whole.next(sequence, crypto::kDerSequence);
    if (error != crypto::DerError::None)
        return derErrorCode(error);
    if (!whole.atEnd())
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    crypto::DerReader fields(sequence.content, sequence.length);
    if ((error = fields.next(n, crypto::kDerInteger)) != crypto::DerError::None ||
        (error = fields.next(e, crypto::kDerInteger)) != crypto::DerError::None)
        return derErrorCode(error);
    if (!fields.atEnd())
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    // Both positive: a set top bit would be a negative number.
    if (n.length == 0 || e.length == 0 || (n.content[0] & 0x80) || (e.content[0] & 0x80))
        return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    const BYTE* nStart = n.content;
    const BYTE* nEnd = n.content + n.length;
    while (nStart != nEnd && *nStart == 0)
        ++nStart;
    const BYTE* eStart = e.content;
    const BYTE* eEnd = e.content + e.length;
    while (eStart != eEnd && *eStart == 0)
        ++eStart;
    // The blob's bit length is a whole number of bytes and the exponent one DWORD.
    if (nStart == nEnd || eStart == eEnd || eEnd - eStart > 4 ||
        static_cast<size_t>(nEnd - nStart) > 0x10000 / 8)
        return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    modulus.assign(nStart, nEnd);
    exponent = 0;
    for (const BYTE* p = eStart; p != eEnd; ++p)
        exponent = (exponent << 8) | *p;
    return ERROR_SUCCESS;
}

void putDword(std::vector<BYTE>& out, DWORD value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

} // namespace

extern "C" {

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded, DWORD cbCertEncoded) {
    try {
        if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return nullptr;
        }
        if (pbCertEncoded == nullptr || cbCertEncoded == 0) {
            SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
            return nullptr;
        }
        auto storage = std::make_unique<CertificateStorage>();
        storage->encoded.assign(pbCertEncoded, pbCertEncoded + cbCertEncoded);
        const crypto::DerError error = readFields(*storage);
        if (error != crypto::DerError::None) {
            SetLastError(derErrorCode(error));
            return nullptr;
        }
        // OpenSSL decodes the same bytes completely, so what the fields say is a certificate.
        const unsigned char* p = storage->encoded.data();
        X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(storage->encoded.size())));
        if (!certificate || p != storage->encoded.data() + storage->encoded.size() ||
            !toFileTime(X509_get0_notBefore(certificate.get()), storage->info.NotBefore) ||
            !toFileTime(X509_get0_notAfter(certificate.get()), storage->info.NotAfter)) {
            SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
            return nullptr;
        }
        pointFields(*storage);
        return CertificateTable::instance().add(std::move(storage));
    } catch (...) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr)
        return TRUE;
    // Only contexts made here are freed; any other pointer is left alone.
    if (!CertificateTable::instance().remove(pCertContext))
        return fail(static_cast<DWORD>(E_INVALIDARG));
    return TRUE;
}

DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void*,
                                LPSTR pszNameString, DWORD cchNameString) {
    try {
        std::u16string name;
        if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
        } else if (dwType == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
            name = simpleDisplayName(*pCertContext->pCertInfo,
                                     (dwFlags & CERT_NAME_ISSUER_FLAG) != 0);
        } else {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
        }
        return writeAnsi(name, pszNameString, cchNameString);
    } catch (...) {
        if (pszNameString != nullptr && cchNameString > 0)
            pszNameString[0] = '\0';
        return 1;
    }
}

LONG WINAPI CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo) {
    if (pCertInfo == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 1;
    }
    unsigned long long now = 0;
    if (pTimeToVerify != nullptr) {
        now = ticksOf(*pTimeToVerify);
    } else {
        const auto since1970 = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
        now = static_cast<unsigned long long>(since1970) * 10ULL +
              static_cast<unsigned long long>(kFileTimeEpochOffset * kFileTimeTicksPerSecond);
    }
    if (now < ticksOf(pCertInfo->NotBefore))
        return -1;
    if (now > ticksOf(pCertInfo->NotAfter))
        return 1;
    return 0;
}

BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                     PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey) {
    try {
        if (pInfo == nullptr || phKey == nullptr)
            return fail(ERROR_INVALID_PARAMETER);
        if ((dwCertEncodingType & X509_ASN_ENCODING) == 0)
            return fail(static_cast<DWORD>(E_INVALIDARG));
        if (pInfo->Algorithm.pszObjId == nullptr ||
            std::strcmp(pInfo->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
            return fail(static_cast<DWORD>(NTE_BAD_ALGID));
        std::vector<BYTE> modulus;
        DWORD exponent = 0;
        const DWORD error = readRsaPublicKey(pInfo->PublicKey, modulus, exponent);
        if (error != ERROR_SUCCESS)
            return fail(error);

        // PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY, then the modulus least significant byte first.
        std::vector<BYTE> blob = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, 0};
        putDword(blob, CALG_RSA_KEYX);
        putDword(blob, 0x31415352u); // "RSA1"
        putDword(blob, static_cast<DWORD>(modulus.size() * 8));
        putDword(blob, exponent);
        blob.insert(blob.end(), modulus.rbegin(), modulus.rend());
        return CryptImportKey(hCryptProv, blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                              phKey);
    } catch (...) {
        return fail(static_cast<DWORD>(NTE_NO_MEMORY));
    }
}

} // extern "C"
