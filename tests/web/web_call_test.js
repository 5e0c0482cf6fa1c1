// The visitor's web page in Debian's chromium against the exchange: its start-up lines, calls to the echo,
// tone and SIP far ends with the sound checked, busy and refusal lines, hanging up from either side.
"use strict";
const { test, before, after } = require("node:test");
const assert = require("node:assert");
const h = require("./harness");

const READY = ["通过 Lan 接入互联网", "可以拨电话了", "请选择要通话的部门..."];
const ROW = { tone: "0", echo: "1", other: "2" };  // 订房电话 3381, 订餐电话 3368, 营销中心 3191
const BUILT_IN = "[dial]\n3381 = tone 1000\n3368 = echo\n";
const SIP = `[sip]\nserver = sip:127.0.0.1:${h.SIPP_PORT}\nuser = visitors\nlocal = 127.0.0.1:5070\nrtp_ports = 31000-31099\n`;

async function dial(page, row) {
  await page.selectOption("#department", row);
  await page.click("#phone");
}

// Records `seconds` of the call and compares what was heard with what was said.
async function heardBack(page, seconds) {
  await h.startRecording(page);
  await page.waitForTimeout(seconds * 1000);
  const { sent, heard } = await h.takeRecording(page);
  return h.alignment(sent, heard, h.RATE);  // up to a second of delay
}

before(async () => {
  await h.openBrowser(h.makePhrase());
});
after(h.closeAll);

test("the page starts with the client's lines and its departments", async () => {
  await h.startExchange(BUILT_IN);
  const page = await h.newPage();
  assert.deepStrictEqual(await h.statusLines(page), READY);
  const rows = await page.$$eval("#department option", (o) => o.map((x) => x.textContent));
  assert.deepStrictEqual(rows, ["订房电话", "订餐电话", "营销中心"]);
  await page.screenshot({ path: `${h.work}/idle.png` });
  await page.close();
});

test("the echo far end brings the visitor's phrase back; hanging up on the page ends the call", async () => {
  await h.startExchange(BUILT_IN);
  const page = await h.newPage();
  await dial(page, ROW.echo);
  await h.waitForLine(page, "订餐电话");
  const echo = await heardBack(page, 6);
  console.log(`echo: correlation ${echo.correlation.toFixed(3)} over ${echo.windows} windows, ${(echo.lag / 8).toFixed(1)} ms mouth to ear`);
  assert.ok(echo.correlation > 0.8, `correlation ${echo.correlation}`);
  assert.ok(echo.lag / 8 >= 200, "the echo far end's own delay is 200 ms");
  await page.screenshot({ path: `${h.work}/in-call.png` });
  await page.click("#phone");
  await h.waitForLine(page, "已挂机！");
  assert.deepStrictEqual(await h.lineHistory(page), [...READY, "已摘机...", "正在联系", "订餐电话", "已挂机！"]);
  await h.until(() => /web call 1\] call ended: web page .* dial "3368" far end echo.*lost 0 .*rejected 0, ended: client hung up/.test(h.log()),
    5000, () => h.log());
  await page.close();
});

test("the tone far end is heard at its frequency", async () => {
  await h.startExchange(BUILT_IN);
  const page = await h.newPage();
  await dial(page, ROW.tone);
  await h.waitForLine(page, "订房电话");
  await h.startRecording(page);
  await page.waitForTimeout(2500);
  const { heard } = await h.takeRecording(page);
  const steady = heard.slice(-8000);
  const hz = h.toneFrequency(steady);
  console.log(`tone: ${hz.toFixed(1)} Hz, level ${h.rms(steady).toFixed(3)}`);
  assert.ok(Math.abs(hz - 1000) < 15 && h.rms(steady) > 0.05, `${hz} Hz`);
  await page.click("#phone");
  await page.close();
});

test("a department not in the dial plan shows the refusal lines", async () => {
  await h.startExchange(BUILT_IN);
  const page = await h.newPage();
  await dial(page, ROW.other);
  await h.waitForLine(page, "请检查PassWord！");
  const lines = await h.statusLines(page);
  assert.deepStrictEqual(lines.slice(-4), ["正在联系", "营销中心", "您无权拨这个号码！", "请检查PassWord！"]);
  assert.match(h.log(), /dial "3191" refused/);
  await page.close();
});

test("a busy exchange makes the page try four times, with the client's lines", async () => {
  await h.startExchange(BUILT_IN + "[limits]\nmax_calls = 1\n");
  const first = await h.newPage();
  await dial(first, ROW.echo);
  await h.waitForLine(first, "订餐电话");
  const second = await h.newPage();
  await dial(second, ROW.tone);
  await h.waitForLine(second, "被叫方通道忙请稍后再拨");
  const busy = ["连接未接纳，请求下一通道.", "请稍候..."];
  assert.deepStrictEqual(await h.lineHistory(second),
    [...READY, "已摘机...", ...busy, ...busy, ...busy, ...busy, "被叫方通道忙请稍后再拨"]);
  assert.strictEqual((h.log().match(/turned away busy \(max_calls\)/g) || []).length, 4);
  await first.click("#phone");
  await first.close();
  await second.close();
});

test("the SIP far end receives the browser's PCMA and its echo comes back", async () => {
  await h.startExchange("[dial]\n3381 = sip 2001\n3368 = sip 3368\n" + SIP);
  const sipp = h.startTelephone("answer_echo.xml", ["-rtp_echo"]);
  await new Promise((r) => setTimeout(r, 500));
  const page = await h.newPage();
  await dial(page, ROW.tone);
  await h.waitForLine(page, "订房电话");
  const echo = await heardBack(page, 5);
  console.log(`sip: correlation ${echo.correlation.toFixed(3)} over ${echo.windows} windows, ${(echo.lag / 8).toFixed(1)} ms`);
  assert.ok(echo.correlation > 0.8, `correlation ${echo.correlation}`);
  await page.click("#phone");
  assert.strictEqual(await sipp.done, 0, "SIPp got its BYE");
  await h.until(() => /far end sip 2001.*ended: client hung up; far end: .*rtp in [1-9]/.test(h.log()), 5000, () => h.log());
  await page.close();
});

test("over HTTPS from a certificate file the page calls; a WebSocket from another site is refused", async () => {
  await h.startExchange(BUILT_IN, `certificate = ${h.makeCertificate()}\ntrusted_proxies = 127.0.0.1\n`);
  const origin = "https://127.0.0.1:48080";
  assert.strictEqual(await h.upgradeStatus({ Origin: "https://evil.example" }), 403);
  assert.strictEqual(await h.upgradeStatus({}), 403);
  assert.strictEqual(await h.upgradeStatus({ Origin: origin, "X-Forwarded-For": "10.1.1.1, 198.51.100.4" }), 101);
  // Through the listed proxy, the visitor is the address the proxy added.
  await h.until(() => /call ended: web page 198\.51\.100\.4:0 /.test(h.log()), 5000, () => h.log());
  assert.match(h.log(), /refused: origin "https:\/\/evil.example" not allowed/);
  const page = await h.newPage("https");
  await dial(page, ROW.tone);
  await h.waitForLine(page, "订房电话");
  await page.click("#phone");
  await h.until(() => /web call \d+\] call ended: web page .* far end tone 1000/.test(h.log()), 5000, () => h.log());
  await page.close();
});

test("the telephone hanging up ends the page's call with the client's line", async () => {
  await h.startExchange("[dial]\n3381 = sip 2001\n3368 = sip 3368\n" + SIP);
  const sipp = h.startTelephone("answer_then_bye.xml");
  await new Promise((r) => setTimeout(r, 500));
  const page = await h.newPage();
  await dial(page, ROW.echo);
  await h.waitForLine(page, "对方已经挂断电话，请按 挂断 按钮!");
  assert.strictEqual(await sipp.done, 0);
  await page.click("#phone");
  await h.waitForLine(page, "已挂机！");
  await page.close();
});
