// The QX_ family: a signature key pair generated in a new container of the Skyra provider, the
// container found again while it has no certificate, its public key exported, signing and
// verifying with it, and deleting a container.
#pragma once

#include <windows.h>

#include "controls/CertFlows.h"

#include <string>

constexpr DWORD kEnrolContainerCount = 10;
// Room for every name the token's providers accept, as in the certificate scan.
constexpr size_t kEnrolContainerNameSize = certflows::kContainerNameSize;
constexpr size_t kPendingContainerSize = 50;
// A 4096-bit PUBLICKEYBLOB: 8-byte blob header, 12-byte RSA public key header, 512-byte modulus.
constexpr size_t kExportedKeySize = 532;
constexpr size_t kEnrolHashTextSize = 50;
constexpr size_t kEnrolSignatureTextSize = 1100;

struct EnrolmentState {
    bool pendingKey = false;
    DWORD containerCount = 0;
    char keyContainers[kEnrolContainerCount][kEnrolContainerNameSize] = {};
    char pendingContainer[kPendingContainerSize] = {};
    BYTE exportedKey[kExportedKeySize] = {};
    DWORD exportedKeyLength = 0;
    char enrolHashText[kEnrolHashTextSize] = {};
    char enrolSignatureText[kEnrolSignatureTextSize] = {};
};

// Results as the members write them: a status always, a text or nothing.
class CEnrolment {
public:
    explicit CEnrolment(EnrolmentState& state) : state_(state) {}

    certflows::StatusResult IsOnline();
    certflows::StatusResult GeneralRSAKey();
    certflows::TextResult ExportPubKey();
    certflows::TextResult GetContainName();
    certflows::StatusResult HashResult(certflows::TextIn data);
    certflows::TextResult GetHashResult();
    certflows::StatusResult SignResult(certflows::TextIn plainText);
    certflows::TextResult GetSignResult();
    certflows::StatusResult VerifyResult(certflows::TextIn keyModule, certflows::TextIn planText,
                                         certflows::TextIn sign);
    certflows::StatusResult DeleteRSAKey(certflows::TextIn containerName);

private:
    certflows::TextResult Text(const char* ansi) const;
    EnrolmentState& state_;
};
