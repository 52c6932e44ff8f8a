// PKCS#7 bundles as the .p7b import reads them.
#include "CertFileImport.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes content(data, data + size);
    FileEncoding encoding = DetectEncoding(data, size);
    if (encoding == FileEncoding::Text) {
        std::string text = NormalizePemText(std::string(content.begin(), content.end()));
        content.assign(text.begin(), text.end());
    }
    ImportResult result;
    certs::Pkcs7Ptr bundle = DecodePkcs7File(content, encoding, result);
    for (X509* certificate : Pkcs7Certificates(bundle.get()))
        EncodeCertificateDer(certificate);
    return 0;
}
