// Every text the bridge's dialogs show, in one place. "%1" is the origin.
#pragma once

namespace bridge::app::texts {

inline constexpr const char* kApprovalTitle = "Signing service: allow this site?";
inline constexpr const char* kApprovalText =
    "The web page at\n\n%1\n\nwants to use your signing token through the signing service. "
    "It could then list your certificates and ask you to sign, decrypt or create keys. Your PIN "
    "is asked for in the token's own window; once you have entered it, the site can sign without "
    "asking again until that PIN entry expires, 5 minutes later unless the signing service is set "
    "otherwise.\n\nAllow it only if you trust this site.";
inline constexpr const char* kApprovalRemember = "Remember this decision";
inline constexpr const char* kApprovalAllow = "Allow";
inline constexpr const char* kApprovalDeny = "Deny";

inline constexpr const char* kDecryptTitle = "Signing service: decrypt with your key?";
inline constexpr const char* kDecryptText =
    "The web page at\n\n%1\n\nasks to decrypt data with the private key of your signing "
    "certificate. Continue only if you started this on that page.";
inline constexpr const char* kDecryptAllow = "Decrypt";
inline constexpr const char* kDecryptDeny = "Cancel";

} // namespace bridge::app::texts
