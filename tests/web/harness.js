// What the web page's tests share: the exchange with a given dial plan, SIPp as the venue's telephone,
// Debian's chromium with a fake microphone speaking a phrase, and the sound the page plays.
"use strict";
const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { chromium, firefox } = require("playwright-core");

const SOURCE = path.resolve(__dirname, "../..");
const EXCHANGE = process.env.PELVARINE_EXCHANGE || path.join(SOURCE, "build/native/exchange/daemon/pelvarine-exchange");
const WEB_PORT = 48080;
const SIPP_PORT = 5062;
const RATE = 8000;  // the page's sound is recorded at the voice path's rate
const work = fs.mkdtempSync(path.join(os.tmpdir(), "pelvarine-web-"));

// The fake microphone's phrase, spoken by espeak-ng, and the same at 8 kHz as numbers for comparing.
function makePhrase() {
  const raw = path.join(work, "phrase-raw.wav");
  const wav = path.join(work, "phrase.wav");
  execFileSync("espeak-ng", ["-v", "en", "-s", "150", "-w", raw, "Pelvarine calling: one two three four five, the quick brown fox."]);
  execFileSync("sox", [raw, "-r", "48000", "-c", "1", "-b", "16", wav, "pad", "0", "0.5"]);
  return wav;
}

let exchange = null;
let exchangeLog = "";
async function startExchange(sections, web = "", listen = "127.0.0.1") {
  await stopExchange();
  const conf = path.join(work, "exchange.conf");
  fs.writeFileSync(conf, "[exchange]\nmetrics = 127.0.0.1:49464\n" + (process.env.PELVARINE_WEB_DEBUG ? "log_level = debug\n" : "") +
    `[web]\nlisten = ${listen}:${WEB_PORT}\nmedia_port = 48400\npage_folder = ${SOURCE}/web\n${web}` + sections);
  exchangeLog = "";
  exchange = spawn(EXCHANGE, ["--config", conf], { stdio: ["ignore", "pipe", "pipe"] });
  exchange.stdout.on("data", (d) => { exchangeLog += d; });
  exchange.stderr.on("data", (d) => { exchangeLog += d; });
  const child = exchange;
  await until(() => exchangeLog.includes("web page on http") || child.exitCode !== null, 10000, () => "");
  if (!exchangeLog.includes("web page on http")) throw new Error("exchange did not start:\n" + exchangeLog);
}

async function stopExchange() {
  if (!exchange) return;
  const child = exchange;
  exchange = null;
  child.kill("SIGINT");
  await new Promise((done) => (child.exitCode !== null ? done() : child.on("exit", done)));
}

// SIPp answers at 127.0.0.1:5062 with one of the exchange's SIP test scenarios.
function startTelephone(scenario, extra = []) {
  const file = path.join(SOURCE, "tests/exchange/sip/scenarios", scenario);
  const sipp = spawn("sipp", ["-sf", file, "-i", "127.0.0.1", "-p", String(SIPP_PORT), "-mi", "127.0.0.1", "-m", "1",
    "-t", "u1", "-nostdin", "-timeout", "60s", ...extra], { stdio: "ignore" });
  sipp.done = new Promise((done) => sipp.on("exit", (code) => done(code)));
  return sipp;
}

let browser = null;
async function openBrowser(microphone) {
  const profile = fs.mkdtempSync(path.join(work, "profile-"));
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.PELVARINE_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    ignoreHTTPSErrors: true,  // the HTTPS test's certificate is self-signed
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
      "--use-fake-device-for-media-stream", "--use-fake-ui-for-media-stream",
      `--use-file-for-fake-audio-capture=${microphone}`, "--autoplay-policy=no-user-gesture-required"],
  });
  return browser;
}

// Debian's firefox-esr over WebDriver BiDi, its fake microphone a steady tone. (Headless, with no sound
// device, it never runs an AudioContext: its calls are checked through the connection's statistics.)
async function openFirefox() {
  const profile = fs.mkdtempSync(path.join(work, "firefox-"));
  browser = await firefox.launchPersistentContext(profile, {
    channel: "moz-firefox", executablePath: process.env.PELVARINE_FIREFOX || "/usr/bin/firefox-esr", headless: true,
    firefoxUserPrefs: { "media.navigator.streams.fake": true, "media.navigator.permission.disabled": true,
      "media.autoplay.default": 0, "media.autoplay.block-webaudio": false,
      "media.peerconnection.ice.loopback": true, "media.peerconnection.ice.force_interface": "lo" },  // the exchange is on 127.0.0.1
  });
  return browser;
}

// Every line the panel was given, also those it has since let go (it keeps about 60 bytes).
const HISTORY = `window.lineHistory = [];
new MutationObserver((changes) => changes.forEach((c) => {
  if (c.target.id === "status-log") c.addedNodes.forEach((n) => lineHistory.push(n.textContent));
})).observe(document, { childList: true, subtree: true });`;

async function newPage(scheme = "http") {
  const page = await browser.newPage();
  await page.addInitScript(HISTORY);
  await page.goto(`${scheme}://127.0.0.1:${WEB_PORT}/`);
  return page;
}

const statusLines = (page) => page.$$eval("#status-log div", (rows) => rows.map((r) => r.textContent));
const lineHistory = (page) => page.evaluate(() => window.lineHistory);

async function waitForLine(page, line, ms = 10000) {
  await until(async () => (await statusLines(page)).includes(line), ms,
    async () => `no "${line}" on the page; it shows ${JSON.stringify(await statusLines(page))}\nexchange:\n${exchangeLog}`);
}

// Records, on one clock, what the page sends (its microphone after the browser's processing) and what it
// plays (the exchange's voice), both at 8 kHz.
async function startRecording(page) {
  await page.waitForFunction(() => document.getElementById("voice").srcObject && call && call.stream);
  await page.evaluate((rate) => {
    const ctx = new AudioContext({ sampleRate: rate });
    const tap = (stream) => {
      const samples = [];
      const node = ctx.createScriptProcessor(1024, 1, 1);
      node.onaudioprocess = (e) => samples.push(...e.inputBuffer.getChannelData(0));
      ctx.createMediaStreamSource(stream).connect(node);
      node.connect(ctx.destination);
      return samples;
    };
    window.recording = { ctx, sent: tap(call.stream), heard: tap(document.getElementById("voice").srcObject) };
  }, RATE);
}

async function takeRecording(page) {
  return page.evaluate(() => {
    recording.ctx.close();
    return { sent: recording.sent, heard: recording.heard };
  });
}

// How well `heard` repeats `sent`: each half second of what was heard is aligned on its own with what was
// said up to `maxLag` samples before (the browser's jitter buffer stretches and shrinks the delay as it
// goes). The median correlation of those windows and their median lag in samples.
function alignment(sent, heard, maxLag) {
  const window = RATE / 2;
  const found = [];
  for (let at = window; at + window <= heard.length; at += window) {
    if (rms(heard.slice(at, at + window)) < 0.02) continue;  // a pause in the phrase
    let best = { lag: 0, correlation: -1 };
    const consider = (lag) => {
      const c = correlationAt(sent, at - lag, heard, at, window);
      if (c > best.correlation) best = { lag, correlation: c };
    };
    for (let lag = 0; lag <= Math.min(at, maxLag); lag += 2) consider(lag);
    for (let lag = Math.max(0, best.lag - 1); lag <= Math.min(at, best.lag + 1); ++lag) consider(lag);
    found.push(best);
  }
  if (process.env.PELVARINE_WEB_DEBUG) console.log(found.map((f) => `${f.correlation.toFixed(2)}@${f.lag}`).join(" "));
  if (found.length === 0) return { correlation: 0, lag: 0, windows: 0 };
  const median = (values) => values.sort((x, y) => x - y)[values.length >> 1];
  return { correlation: median(found.map((f) => f.correlation)), lag: median(found.map((f) => f.lag)),
    windows: found.length };
}

// Normalised correlation of a[from..] with b[at..] over n samples (fewer where either ends).
function correlationAt(a, from, b, at, n) {
  n = Math.min(n, a.length - from, b.length - at);
  let ab = 0, aa = 0, bb = 0;
  for (let i = 0; i < n; ++i) {
    ab += a[from + i] * b[at + i];
    aa += a[from + i] * a[from + i];
    bb += b[at + i] * b[at + i];
  }
  return aa > 0 && bb > 0 ? ab / Math.sqrt(aa * bb) : 0;
}

// The main frequency of a steady tone, from its zero crossings.
function toneFrequency(samples) {
  let crossings = 0;
  for (let i = 1; i < samples.length; ++i) if ((samples[i - 1] < 0) !== (samples[i] < 0)) ++crossings;
  return (crossings / 2) * (RATE / samples.length);
}

function rms(samples) {
  return Math.sqrt(samples.reduce((s, x) => s + x * x, 0) / Math.max(1, samples.length));
}

async function until(check, ms, why) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await check()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(await why());
}

// A self-signed certificate and its key in one PEM file, as the exchange takes them.
function makeCertificate() {
  const key = path.join(work, "key.pem"), cert = path.join(work, "cert.pem"), both = path.join(work, "web.pem");
  execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
    "-subj", "/CN=127.0.0.1", "-days", "1"], { stdio: "ignore" });
  fs.writeFileSync(both, fs.readFileSync(cert) + fs.readFileSync(key));
  return both;
}

// The status of a WebSocket upgrade to /call over HTTPS with these headers.
function upgradeStatus(headers) {
  return new Promise((resolve, reject) => {
    const request = require("node:https").request({ host: "127.0.0.1", port: WEB_PORT, path: "/call",
      rejectUnauthorized: false, headers: { Connection: "Upgrade", Upgrade: "websocket", "Sec-WebSocket-Version": "13",
        "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==", ...headers } });
    request.on("upgrade", (response, socket) => { socket.destroy(); resolve(101); });
    request.on("response", (response) => { response.resume(); resolve(response.statusCode); });
    request.on("error", reject);
    request.end();
  });
}

async function closeAll() {
  if (browser) await browser.close();
  await stopExchange();
}

module.exports = {
  RATE, work, makePhrase, makeCertificate, upgradeStatus, startExchange, stopExchange, startTelephone, openBrowser, openFirefox, newPage, statusLines, lineHistory,
  waitForLine, startRecording, takeRecording, alignment, toneFrequency, rms, until, closeAll,
  log: () => exchangeLog, exchangePid: () => exchange.pid, SIPP_PORT,
};
