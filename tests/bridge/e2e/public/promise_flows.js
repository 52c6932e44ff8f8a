// The same page scripts as flows.js in the Promise form that new pages use: every member is a
// function giving a Promise, and each result is what the synchronous form would have read.
"use strict";

async function certificateFamilyPromised(family, text) {
    const o = await KorvanControls.create("QXMeridiaControl.SGN");
    const m = (name) => (family === "md_" ? "md_" + name : name + family);
    const r = {};
    r.online = await o[m("IsOnline")]();
    r.chosen = await o[m("SetCertResult")]();
    r.name = await o[m("GetCertName")]();
    r.serial = await o[m("GetCertSerial")]();
    r.key = await o[m("GetKeyModule")]();
    r.hashed = await o[m("HashResult")](text);
    r.hash = await o[m("GetHash")]();
    r.signed = await o[m("SignResult")](text);
    r.signature = await o[m("GetSignature")]();
    r.verified = await o[m("VerifyResult")](r.key, text, r.signature);
    r.forged = await o[m("VerifyResult")](r.key, text + ".", r.signature);
    r.random = await o[m("GenRandomNumber")](32);
    r.tokenSerial = await o[m("GetTokenSerial")]();
    r.tokens = await o[m("RefreshToken")]();
    return r;
}

async function vaultoraPromised(text, secret) {
    const o = await KorvanControls.create("MeridiaVaultora.MeridiaCtrl");
    const r = {};
    r.online = await o.IsOnline();
    r.chosen = await o.SetCertResult();
    r.name = await o.GetCertName();
    r.key = await o.GetKeyModule();
    r.content = await o.GetCertContent();
    r.signed = await o.SignResult(text);
    r.signature = await o.GetSignature();
    r.verified = await o.VerifyResult(r.key, text, r.signature);
    r.cipher = await o.CryptByPukey(secret, r.key);
    r.plain = await o.DecryByPrikey(r.cipher);
    return r;
}
