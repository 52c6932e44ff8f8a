#include "CertFileImport.h"

#include "Pkcs12Import.h"
#include "platform/Guid.h"

#include <openssl/pem.h>

#include <cstdio>
#include <fstream>

namespace {

// The file's size without reading it; -1 when it cannot be had.
long long fileSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file)
        return -1;
    return static_cast<long long>(file.tellg());
}

// Reads the file as its encoding asks and checks it against the free space:
// DER by its size, text by the length of its normalized form.
ImportResult loadContent(const std::string& path, FileEncoding encoding, CK_ULONG freePublicSpace,
                         Bytes& content) {
    if (encoding == FileEncoding::Der) {
        long long size = fileSize(path);
        if (size < 0)
            return ImportResult::FileNotFound;
        if (static_cast<unsigned long long>(size) > freePublicSpace)
            return ImportResult::NoSpace;
        return ReadImportFile(path, content);
    }
    ImportResult read = ReadImportFile(path, content);
    if (read != ImportResult::Success)
        return read;
    std::string text = NormalizePemText(std::string(content.begin(), content.end()));
    if (text.size() > freePublicSpace)
        return ImportResult::NoSpace;
    content.assign(text.begin(), text.end());
    return ImportResult::Success;
}

ImportResult certificateResult(const CertificateObjectResult& written) {
    if (written.declined)
        return ImportResult::Success;
    if (written.unsupported)
        return ImportResult::NotSupported;
    // CKR_OK with no handle means nothing was written: not a success.
    if (written.rv == CKR_OK)
        return written.created() ? ImportResult::Success : ImportResult::GeneralFailure;
    return createObjectFailure(written.rv);
}

// Destroys an object that a failing creation left behind (a token that
// answered an error yet handed out a handle).
void discardFailed(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                   const CertificateObjectResult& written) {
    if (written.rv != CKR_OK && written.handle != CK_INVALID_HANDLE)
        functions->C_DestroyObject(session, written.handle);
}

const Bytes kHelloId = {'h', 'e', 'l', 'l', 'o'};

// CKA_ID and vendor attribute of an imported certificate.
Bytes idFor(const std::string& containerName, ContainerNameAttribute where) {
    if (where == ContainerNameAttribute::Id)
        return Bytes(containerName.begin(), containerName.end());
    return kHelloId;
}
std::string vendorNameFor(const std::string& containerName, ContainerNameAttribute where) {
    return where == ContainerNameAttribute::Vendor ? containerName : std::string();
}

} // namespace

FileEncoding DetectEncoding(const unsigned char* head, size_t length) {
    if (length < 2 || head[0] != 0x30)
        return FileEncoding::Text;
    // Short form, indefinite (BER) or any long form; 0xFF is reserved.
    return head[1] != 0xFF ? FileEncoding::Der : FileEncoding::Text;
}

FileEncoding DetectFileEncoding(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return FileEncoding::Unreadable;
    unsigned char head[3] = {};
    file.read(reinterpret_cast<char*>(head), sizeof head);
    if (file.bad())
        return FileEncoding::Unreadable;
    return DetectEncoding(head, static_cast<size_t>(file.gcount()));
}

std::string NormalizePemText(const std::string& input) {
    std::string text = input;
    size_t begin = text.find("BEGIN");
    if (begin != std::string::npos) {
        size_t dashes = text.find("-----", begin);
        if (dashes != std::string::npos)
            text.erase(0, dashes + 5);
    }
    size_t end = text.rfind("END");
    if (end != std::string::npos) {
        size_t dashes = text.rfind("-----", end);
        if (dashes != std::string::npos)
            text.erase(dashes);
    }
    std::string body;
    body.reserve(text.size() + text.size() / 32 + 64);
    for (char c : text)
        if (c != '\r' && c != '\n')
            body.push_back(c);
    std::string wrapped;
    wrapped.reserve(body.size() + body.size() / 32 + 64);
    for (size_t i = 0; i < body.size(); ++i) {
        if (i > 0 && i % 64 == 0)
            wrapped += "\r\n";
        wrapped.push_back(body[i]);
    }
    return "-----BEGIN CERTIFICATE-----\r\n" + wrapped + "\r\n-----END CERTIFICATE-----";
}

namespace {

// One object from a file's content: DER through d2i, text through the PEM reader.
template <class Ptr, class FromDer, class FromPem>
Ptr decodeFile(const Bytes& content, FileEncoding encoding, ImportResult& result, FromDer fromDer,
               FromPem fromPem) {
    Ptr object;
    if (encoding == FileEncoding::Der) {
        const unsigned char* p = content.data();
        object.reset(fromDer(nullptr, &p, static_cast<long>(content.size())));
    } else {
        certs::BioPtr bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        if (bio)
            object.reset(fromPem(bio.get(), nullptr, nullptr, nullptr));
    }
    result = object ? ImportResult::Success : ImportResult::NotSupported;
    return object;
}

} // namespace

certs::X509Ptr DecodeCertificateFile(const Bytes& content, FileEncoding encoding,
                                     ImportResult& result) {
    return decodeFile<certs::X509Ptr>(content, encoding, result, d2i_X509, PEM_read_bio_X509);
}

certs::Pkcs7Ptr DecodePkcs7File(const Bytes& content, FileEncoding encoding, ImportResult& result) {
    return decodeFile<certs::Pkcs7Ptr>(content, encoding, result, d2i_PKCS7, PEM_read_bio_PKCS7);
}

std::vector<X509*> Pkcs7Certificates(PKCS7* bundle) {
    std::vector<X509*> list;
    if (bundle == nullptr || bundle->d.ptr == nullptr)
        return list;
    STACK_OF(X509)* certificates = nullptr;
    if (PKCS7_type_is_signed(bundle))
        certificates = bundle->d.sign->cert;
    else if (PKCS7_type_is_signedAndEnveloped(bundle))
        certificates = bundle->d.signed_and_enveloped->cert;
    for (int i = 0; i < sk_X509_num(certificates); ++i)
        list.push_back(sk_X509_value(certificates, i));
    return list;
}

namespace {

// The file at `path` read in the encoding its first bytes show, checked
// against the free space and decoded into `object`; `object` is left as it
// was when the file cannot be read or has no room.
template <class Ptr>
ImportResult loadFile(const std::string& path, CK_ULONG freePublicSpace,
                      Ptr (*decode)(const Bytes&, FileEncoding, ImportResult&), Ptr& object) {
    FileEncoding encoding = DetectFileEncoding(path);
    if (encoding == FileEncoding::Unreadable)
        return ImportResult::FileNotFound;
    Bytes content;
    ImportResult result = loadContent(path, encoding, freePublicSpace, content);
    if (result != ImportResult::Success)
        return result;
    object = decode(content, encoding, result);
    return result;
}

} // namespace

CCertFileImporter::CCertFileImporter(std::vector<Bytes> knownCertificates, Prompter* prompter)
    : knownCertificates_(std::move(knownCertificates)), prompter_(prompter) {}

ImportResult CCertFileImporter::import(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                       CK_ULONG freePublicSpace, const std::string& path,
                                       const std::string& containerName,
                                       ContainerNameAttribute where) {
    declined_ = false;
    ImportResult result = loadFile(path, freePublicSpace, DecodeCertificateFile, certificate_);
    if (result != ImportResult::Success)
        return result;
    if (platform::newGuidText().size() != 36 || functions == nullptr)
        return ImportResult::GeneralFailure;

    CertificateObjectResult written =
        CreateCertificateObject(functions, session, certificate_.get(), idFor(containerName, where),
                                vendorNameFor(containerName, where), knownCertificates_,
                                prompter_);
    discardFailed(functions, session, written);
    declined_ = written.declined;
    return certificateResult(written);
}

CP7bFileImporter::CP7bFileImporter(std::vector<Bytes> knownCertificates, Prompter* prompter)
    : knownCertificates_(std::move(knownCertificates)), prompter_(prompter) {}

ImportResult CP7bFileImporter::import(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                      CK_ULONG freePublicSpace, const std::string& path,
                                      const std::string& containerName,
                                      ContainerNameAttribute where) {
    declined_ = false;
    written_ = 0;
    ImportResult result = loadFile(path, freePublicSpace, DecodePkcs7File, bundle_);
    if (result != ImportResult::Success)
        return result;
    std::vector<X509*> certificates = Pkcs7Certificates(bundle_.get());
    if (certificates.empty())
        return ImportResult::NotSupported;
    if (functions == nullptr)
        return ImportResult::GeneralFailure;

    for (X509* certificate : certificates) {
        if (platform::newGuidText().size() != 36)
            return ImportResult::GeneralFailure;
        CertificateObjectResult written =
            CreateCertificateObject(functions, session, certificate, idFor(containerName, where),
                                    vendorNameFor(containerName, where), knownCertificates_,
                                    prompter_);
        if (written.duplicate)
            declined_ = written.declined;
        if (written.declined)
            continue;
        if (!written.created()) {
            discardFailed(functions, session, written);
            return certificateResult(written);
        }
        ++written_;
    }
    return ImportResult::Success;
}

bool FileNameHasWildcards(const std::string& name) {
    return name.find_first_of("*?") != std::string::npos;
}

CK_RV ExportCertificate(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId, CK_OBJECT_HANDLE handle,
                        const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (FileNameHasWildcards(slash == std::string::npos ? path : path.substr(slash + 1)))
        return CKR_ARGUMENTS_BAD;
    Bytes value;
    CK_RV rv = ReadCertificateValueInOwnSession(functions, slotId, handle, value);
    if (rv != CKR_OK)
        return rv;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return CKR_GENERAL_ERROR;
    bool written =
        value.empty() || std::fwrite(value.data(), 1, value.size(), file) == value.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(path.c_str());
        return CKR_GENERAL_ERROR;
    }
    return CKR_OK;
}
