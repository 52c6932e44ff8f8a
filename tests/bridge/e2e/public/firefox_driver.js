// Firefox ESR over WebDriver BiDi for the browser tests: one browser, driven by JSON lines on
// standard input, one JSON answer line each on standard output.
//   {"op": "permission", "origin": O, "state": "granted"|"denied"}   loopback-network for O
//   {"op": "goto", "url": U, "timeout": MS}
//   {"op": "eval", "body": B, "args": [...], "async": false}   B is a function body; with
//       async, its last argument is a callback that gives the value
//   {"op": "quit"}
// Answers are {"value": V} or {"error": "..."}. Started as: node firefox_driver.js CONFIG_JSON,
// where CONFIG_JSON names executablePath, profile (a folder) and prefs.
"use strict";

const path = require("path");
const readline = require("readline");

const modules = process.env.KORVAN_NODE_MODULES;
if (!modules) {
    process.stderr.write("firefox_driver: KORVAN_NODE_MODULES is not set\n");
    process.exit(2);
}
const puppeteer = require(path.join(modules, "puppeteer-core"));

function evaluateIn(page, body, args, isAsync) {
    return page.evaluate((body, args, isAsync) => {
        const run = new Function(body);
        if (!isAsync) return run.apply(null, args);
        return new Promise((resolve) => run.apply(null, args.concat([resolve])));
    }, body, args, isAsync);
}

async function main() {
    const config = JSON.parse(process.argv[2]);
    const browser = await puppeteer.launch({
        browser: "firefox",
        executablePath: config.executablePath,
        headless: true,
        acceptInsecureCerts: true,
        userDataDir: config.profile,
        extraPrefsFirefox: config.prefs,
        protocolTimeout: 120000,
    });
    const context = browser.defaultBrowserContext();
    const page = (await browser.pages())[0] || (await browser.newPage());
    const messages = [];
    page.on("console", (m) => messages.push(m.text()));
    const answer = (o) => process.stdout.write(JSON.stringify(o) + "\n");
    answer({ value: "ready" });

    const lines = readline.createInterface({ input: process.stdin });
    for await (const line of lines) {
        let command;
        try {
            command = JSON.parse(line);
        } catch (e) {
            answer({ error: "not JSON: " + e.message });
            continue;
        }
        if (command.op === "quit") break;
        try {
            if (command.op === "permission") {
                await context.setPermission(command.origin,
                    { permission: { name: "loopback-network" }, state: command.state });
                answer({ value: null });
            } else if (command.op === "goto") {
                await page.goto(command.url, { waitUntil: "load", timeout: command.timeout || 60000 });
                answer({ value: null });
            } else if (command.op === "eval") {
                const value = await evaluateIn(page, command.body, command.args || [], !!command.async);
                answer({ value: value === undefined ? null : value });
            } else if (command.op === "console") {
                answer({ value: messages.splice(0) });
            } else {
                answer({ error: "unknown op " + command.op });
            }
        } catch (e) {
            answer({ error: String(e && e.message || e) });
        }
    }
    await browser.close();
}

main().catch((e) => {
    process.stderr.write("firefox_driver: " + (e && e.stack || e) + "\n");
    process.exit(1);
});
