// Helpers of the test pages: every request the page sends is counted, and a call's outcome is
// returned as {value} or {error, type} so that the test sees what a page script would see.
"use strict";
window.requestsSent = 0;
(function () {
    const send = XMLHttpRequest.prototype.send;
    XMLHttpRequest.prototype.send = function () {
        window.requestsSent += 1;
        return send.apply(this, arguments);
    };
    const fetchNow = window.fetch;
    window.fetch = function () {
        window.requestsSent += 1;
        return fetchNow.apply(this, arguments);
    };
})();

function outcome(run) {
    try {
        return { value: run() };
    } catch (e) {
        return { error: String(e && e.message), type: e && e.constructor && e.constructor.name };
    }
}
