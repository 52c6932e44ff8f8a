// Certificate files as the .cer import reads them, and the details of what decodes.
#include "CertDetails.h"
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
    certs::X509Ptr certificate = DecodeCertificateFile(content, encoding, result);
    if (certificate) {
        CertificateDetails details;
        DescribeCertificate(certificate.get(), details);
        MakeCertificateLabel(certificate.get());
    }
    return 0;
}
