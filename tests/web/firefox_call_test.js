// The visitor's web page in Debian's firefox-esr: its WebRTC (ICE, DTLS-SRTP, PCMA) against the exchange's,
// both ways through the echo far end, and the call ended from the page.
"use strict";
const { test, before, after } = require("node:test");
const assert = require("node:assert");
const os = require("node:os");
const h = require("./harness");

before(async () => {
  await h.openFirefox();
});
after(h.closeAll);

// The call's audio as the browser counts it: what it sent, and what it received and how loud.
const audioStats = (page) => page.evaluate(async () => {
  const found = {};
  (await call.pc.getStats()).forEach((r) => {
    if (r.type === "outbound-rtp") found.sent = r.packetsSent;
    if (r.type === "inbound-rtp") Object.assign(found, { received: r.packetsReceived, level: r.audioLevel });
  });
  return found;
});

test("in Firefox the echo far end brings the page's tone back, and hanging up ends the call", async (t) => {
  // Firefox pairs no loopback candidate, so the media goes to the machine's own LAN address.
  const lan = Object.values(os.networkInterfaces()).flat().find((a) => a.family === "IPv4" && !a.internal);
  if (!lan) return t.skip("no LAN address for Firefox's ICE");
  await h.startExchange("[dial]\n3368 = echo\n", `public_address = ${lan.address}\n`, "0.0.0.0");
  const page = await h.newPage();
  await h.waitForLine(page, "请选择要通话的部门...");
  await page.selectOption("#department", "1");
  await page.click("#phone");
  await h.waitForLine(page, "订餐电话");
  await h.until(() => h.log().includes("media connected: ICE-lite, DTLS-SRTP, PCMA"), 5000, () => h.log());
  await page.waitForTimeout(3000);
  const stats = await audioStats(page);
  console.log(`firefox: sent ${stats.sent} packets, received ${stats.received}, level ${stats.level}`);
  assert.ok(stats.sent > 100 && stats.received > 100, JSON.stringify(stats));
  assert.ok(stats.level > 0.01, `the echo of the fake microphone's tone is not silence: ${JSON.stringify(stats)}`);
  await page.click("#phone");
  await h.waitForLine(page, "已挂机！");
  await h.until(() => /web call 1\] call ended: web page .* far end echo, .*datagrams in [1-9]\d* out [1-9]\d*, lost 0 .*rejected 0, ended: client hung up/.test(h.log()),
    5000, () => h.log());
  await page.close();
});
