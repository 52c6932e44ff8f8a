// KorvanControls: the signing controls for web pages, through the local bridge.
//
// A page includes this file from the bridge itself, by the line `korvan-bridge --print-include`
// prints (a path named by the file's SHA-384, checked by the browser):
//   <script src="http://127.0.0.1:28561/korvan/v1/activex-HEX.js" integrity="sha384-BASE64"
//           crossorigin="anonymous"></script>
// Legacy pages then create controls as they always did:
//   var o = new ActiveXObject("QXMeridiaControl.SGN");
//   if (o.IsOnline == 0 && o.SetCertResult == 0) o.SignResult("text");
// New pages use the Promise form, which never blocks the page:
//   const o = await KorvanControls.create("QXMeridiaControl.SGN");
//   if (await o.IsOnline() === 0) ...
(function () {
    "use strict";

    const PROTOCOL = 1;
    const PREFIX = "KorvanControls: ";
    const SERVICE_DOWN = "the signing service is not running";
    const XMLHTTP = ["microsoft.xmlhttp", "msxml2.xmlhttp", "msxml2.xmlhttp.3.0", "msxml2.xmlhttp.6.0"];
    // Names every object answers as a plain object does, so that await, JSON.stringify, string
    // conversion and the developer tools never reach the bridge.
    const PLAIN = new Set(["then", "toJSON", "toString", "valueOf", "constructor"]);

    const script = document.currentScript;
    if (!script || !script.src) {
        return; // inlined or loaded as a module: there is no bridge address to call
    }
    // Absolute, so that the pinned path under /korvan/v1/ and the old /korvan/activex.js agree.
    const endpoint = new URL("/korvan/v1/call", script.src).href;

    function failure(text) {
        return new Error(PREFIX + text);
    }

    // The bridge's answer, or the error it names. Anything else it might say is a failed control.
    function answerOf(status, text) {
        let answer;
        try {
            answer = JSON.parse(text);
        } catch (e) {
            throw failure("control failed");
        }
        if (answer === null || typeof answer !== "object" || answer.v !== PROTOCOL) {
            throw failure("control failed");
        }
        if (status !== 200 || answer.ok !== true) {
            throw failure(typeof answer.error === "string" ? answer.error : "control failed");
        }
        return answer;
    }

    // A script value as the bridge takes it; the bridge converts it for the member or refuses.
    function encode(value) {
        switch (typeof value) {
        case "string":
            return ["s", value];
        case "number":
            return ["n", Number.isFinite(value) ? value : String(value)];
        case "boolean":
            return ["b", value];
        case "undefined":
            return ["u"];
        default:
            return value === null ? ["null"] : ["object"];
        }
    }

    function decode(answer) {
        const value = answer.value;
        if (!Array.isArray(value)) {
            return undefined;
        }
        if (value[0] === "n") {
            return Number(value[1]);
        }
        if (value[0] === "s") {
            return String(value[1]);
        }
        return undefined;
    }

    function callMessage(object, member, args) {
        return { v: PROTOCOL, op: "call", object: object, member: member, args: Array.prototype.map.call(args, encode) };
    }

    // ---- transports ----

    // The legacy form is synchronous, as the pages written for it expect.
    function sendNow(message) {
        const request = new XMLHttpRequest();
        try {
            request.open("POST", endpoint, false);
            request.setRequestHeader("Content-Type", "text/plain;charset=UTF-8");
            request.send(JSON.stringify(message));
        } catch (e) {
            throw failure(SERVICE_DOWN);
        }
        if (request.status === 0) {
            throw failure(SERVICE_DOWN);
        }
        return answerOf(request.status, request.responseText);
    }

    async function sendLater(message) {
        let response;
        let text;
        try {
            response = await fetch(endpoint, {
                method: "POST",
                mode: "cors",
                credentials: "omit",
                cache: "no-store",
                redirect: "error",
                headers: { "Content-Type": "text/plain;charset=UTF-8" },
                body: JSON.stringify(message),
            });
            text = await response.text();
        } catch (e) {
            throw failure(SERVICE_DOWN);
        }
        return answerOf(response.status, text);
    }

    // One call of the page at a time, in the order made: the next is sent once the previous one
    // has answered, whatever it answered.
    let last = Promise.resolve();
    function inTurn(message) {
        const turn = last.then(() => sendLater(message));
        last = turn.catch(() => undefined);
        return turn;
    }

    // ---- control objects ----

    // A control as a page sees it: its members by name, without regard to case, and nothing
    // else. memberValue(member) gives what reading the member yields.
    function controlObject(members, memberValue) {
        const byName = new Map();
        for (const member of members) {
            if (member && typeof member.name === "string" && Array.isArray(member.params)) {
                byName.set(member.name.toLowerCase(), member);
            }
        }
        // Extensible, so that "in" may report members; the traps below refuse every change.
        const target = Object.create(Object.freeze(Object.create(Object.prototype)));
        return new Proxy(target, {
            get(t, key, receiver) {
                if (typeof key === "symbol" || PLAIN.has(key) || key in Object.prototype) {
                    return Reflect.get(t, key, receiver);
                }
                const member = byName.get(key.toLowerCase());
                if (member === undefined) {
                    throw failure("no such member: " + key);
                }
                return memberValue(member);
            },
            has(t, key) {
                return (typeof key === "string" && byName.has(key.toLowerCase())) || Reflect.has(t, key);
            },
            set() {
                return false;
            },
            defineProperty() {
                return false;
            },
            deleteProperty() {
                return false;
            },
            setPrototypeOf() {
                return false;
            },
        });
    }

    function legacyControl(created) {
        const object = created.object;
        const functions = new Map();
        return controlObject(created.members, (member) => {
            if (member.params.length === 0) {
                return decode(sendNow(callMessage(object, member.name, [])));
            }
            let call = functions.get(member.name);
            if (call === undefined) {
                call = function () {
                    return decode(sendNow(callMessage(object, member.name, arguments)));
                };
                functions.set(member.name, call);
            }
            return call;
        });
    }

    function promiseControl(created) {
        const object = created.object;
        const functions = new Map();
        return controlObject(created.members, (member) => {
            let call = functions.get(member.name);
            if (call === undefined) {
                call = function () {
                    return inTurn(callMessage(object, member.name, arguments)).then(decode);
                };
                functions.set(member.name, call);
            }
            return call;
        });
    }

    function createMessage(progId) {
        return { v: PROTOCOL, op: "create", progId: String(progId) };
    }

    function checkedCreation(answer) {
        if (typeof answer.object !== "string" || !Array.isArray(answer.members)) {
            throw failure("control failed");
        }
        return answer;
    }

    function ActiveXObject(progId) {
        if (XMLHTTP.includes(String(progId).toLowerCase())) {
            return new XMLHttpRequest();
        }
        return legacyControl(checkedCreation(sendNow(createMessage(progId))));
    }

    const KorvanControls = Object.freeze({
        version: PROTOCOL,
        create(progId) {
            return inTurn(createMessage(progId)).then((answer) => promiseControl(checkedCreation(answer)));
        },
    });

    Object.defineProperty(window, "KorvanControls", { value: KorvanControls, configurable: true });
    if (typeof window.ActiveXObject === "undefined") {
        Object.defineProperty(window, "ActiveXObject", { value: ActiveXObject, configurable: true, writable: true });
    }
})();
