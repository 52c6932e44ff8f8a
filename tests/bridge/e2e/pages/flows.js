// Typical page scripts of both controls, written as the pages made for them are: synchronous
// reads and calls, status 0 meaning success. Each returns what it read, for the test to check.
"use strict";

// One certificate family of the 64-bit control: "" (base), "_Ex" (suffix) or "md_" (prefix).
function certificateFamily(family, text) {
    const o = new ActiveXObject("QXMeridiaControl.SGN");
    const m = (name) => (family === "md_" ? "md_" + name : name + family);
    const r = {};
    r.online = o[m("IsOnline")];
    r.chosen = o[m("SetCertResult")];
    r.name = o[m("GetCertName")];
    r.serial = o[m("GetCertSerial")];
    r.key = o[m("GetKeyModule")];
    r.hashed = o[m("HashResult")](text);
    r.hash = o[m("GetHash")];
    r.signed = o[m("SignResult")](text);
    r.signature = o[m("GetSignature")];
    r.verified = o[m("VerifyResult")](r.key, text, r.signature);
    r.forged = o[m("VerifyResult")](r.key, text + ".", r.signature);
    r.random = o[m("GenRandomNumber")](32);
    r.tokenSerial = o[m("GetTokenSerial")];
    r.tokens = o[m("RefreshToken")];
    return r;
}

// Key-pair enrolment: a new key on the token, its public key and a signature for the request,
// then the container removed again.
function enrolment(text) {
    const o = new ActiveXObject("QXMeridiaControl.SGN");
    const r = {};
    r.waitingBefore = o.QX_IsOnline;
    r.generated = o.QX_GeneralRSAKey;
    r.container = o.QX_GetContainName;
    r.publicKey = o.QX_ExportPubKey;
    r.signed = o.QX_SignResult(text);
    r.signature = o.QX_GetSignResult;
    r.verified = o.QX_VerifyResult(r.publicKey, text, r.signature);
    r.tokenSerial = o.QX_GetTokenSerial;
    r.deleted = o.QX_DeleteRSAKey(r.container);
    r.waitingAfter = o.QX_IsOnline;
    return r;
}

// The 32-bit control: sign, verify, and a text encrypted to the certificate's key and back.
function vaultora(text, secret) {
    const o = new ActiveXObject("MeridiaVaultora.MeridiaCtrl");
    const r = {};
    r.online = o.IsOnline;
    r.chosen = o.SetCertResult;
    r.name = o.GetCertName;
    r.key = o.GetKeyModule;
    r.content = o.GetCertContent;
    r.signed = o.SignResult(text);
    r.signature = o.GetSignature;
    r.verified = o.VerifyResult(r.key, text, r.signature);
    r.cipher = o.CryptByPukey(secret, r.key);
    r.plain = o.DecryByPrikey(r.cipher);
    return r;
}
