// The demo page's calls: each one is shown with what it returned (status 0 is success) or the
// error it threw.
"use strict";

const state = { sgn: null, vaultora: null, enrolled: "" };

function show(call, value, failed) {
    const row = document.createElement("tr");
    if (failed) {
        row.className = "failed";
    }
    const name = document.createElement("td");
    name.textContent = call;
    const result = document.createElement("td");
    result.className = "value";
    result.textContent = value === undefined ? "(no value)" : String(value);
    row.append(name, result);
    document.getElementById("results").append(row);
}

// Runs one call; a status member that answers non-zero, or a thrown error, marks the row.
function step(label, run, isStatus) {
    try {
        const value = run();
        show(label, value, isStatus && value !== 0);
        return value;
    } catch (e) {
        show(label, e.message, true);
        throw e;
    }
}

function sgn() {
    if (!state.sgn) {
        state.sgn = step('new ActiveXObject("QXMeridiaControl.SGN")', () => new ActiveXObject("QXMeridiaControl.SGN"));
    }
    return state.sgn;
}

function text(id) {
    return document.getElementById(id).value;
}

function signWith(o, suffix) {
    const m = (name) => name + suffix;
    const t = text("text");
    if (step(m("IsOnline"), () => o[m("IsOnline")], true) !== 0) return;
    if (step(m("SetCertResult"), () => o[m("SetCertResult")], true) !== 0) return;
    step(m("GetCertName"), () => o[m("GetCertName")]);
    step(m("GetCertSerial"), () => o[m("GetCertSerial")]);
    const key = step(m("GetKeyModule"), () => o[m("GetKeyModule")]);
    if (step(m("SignResult") + "(text)", () => o[m("SignResult")](t), true) !== 0) return;
    const signature = step(m("GetSignature"), () => o[m("GetSignature")]);
    step(m("VerifyResult") + "(key, text, signature)", () => o[m("VerifyResult")](key, t, signature), true);
}

const actions = {
    "sgn-base": () => signWith(sgn(), ""),
    "sgn-ex": () => signWith(sgn(), "_Ex"),
    "sgn-random": () => {
        const o = sgn();
        step("IsOnline", () => o.IsOnline, true);
        step("GenRandomNumber(16)", () => o.GenRandomNumber(16));
    },
    "sgn-token": () => {
        const o = sgn();
        step("IsOnline", () => o.IsOnline, true);
        step("GetTokenSerial", () => o.GetTokenSerial);
        step("RefreshToken", () => o.RefreshToken);
        step("md_GetTokenSerial", () => o.md_GetTokenSerial);
        step("md_RefreshToken", () => o.md_RefreshToken);
    },
    "sgn-enrol": () => {
        const o = sgn();
        const t = text("text");
        if (step("QX_IsOnline", () => o.QX_IsOnline) !== 0) {
            if (step("QX_GeneralRSAKey", () => o.QX_GeneralRSAKey, true) !== 0) return;
        }
        state.enrolled = step("QX_GetContainName", () => o.QX_GetContainName);
        const key = step("QX_ExportPubKey", () => o.QX_ExportPubKey);
        if (step("QX_SignResult(text)", () => o.QX_SignResult(t), true) !== 0) return;
        const signature = step("QX_GetSignResult", () => o.QX_GetSignResult);
        step("QX_VerifyResult(key, text, signature)", () => o.QX_VerifyResult(key, t, signature), true);
    },
    "sgn-delete": () => {
        const o = sgn();
        if (!state.enrolled || state.enrolled === "FALSE") {
            show("QX_DeleteRSAKey", "run the enrolment first", true);
            return;
        }
        step("QX_DeleteRSAKey(container)", () => o.QX_DeleteRSAKey(state.enrolled), true);
        state.enrolled = "";
    },
    "mv-sign": () => {
        if (!state.vaultora) {
            state.vaultora = step('new ActiveXObject("MeridiaVaultora.MeridiaCtrl")',
                () => new ActiveXObject("MeridiaVaultora.MeridiaCtrl"));
        }
        signWith(state.vaultora, "");
        step("GetCertContent", () => state.vaultora.GetCertContent);
    },
    "mv-crypt": () => {
        const o = state.vaultora;
        if (!o) {
            show("CryptByPukey", "choose a certificate first", true);
            return;
        }
        const key = step("GetKeyModule", () => o.GetKeyModule);
        const cipher = step("CryptByPukey(secret, key)", () => o.CryptByPukey(text("secret"), key));
        step("DecryByPrikey(cipher)", () => o.DecryByPrikey(cipher));
    },
};

window.addEventListener("DOMContentLoaded", () => {
    const presence = document.getElementById("presence");
    if (typeof window.KorvanControls === "undefined") {
        presence.textContent = "The bridge is not running: start it (make demo) and reload this page.";
        return;
    }
    presence.textContent = "The bridge is running. Each button runs its calls; the PIN is asked by the token's own PIN window.";
    for (const [id, run] of Object.entries(actions)) {
        document.getElementById(id).addEventListener("click", () => {
            try {
                run();
            } catch (e) {
                // shown in its row already
            }
        });
    }
    document.getElementById("clear").addEventListener("click", () => {
        document.getElementById("results").replaceChildren();
    });
});
