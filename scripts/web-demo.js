// scripts/demo --web: the exchange serves the visitor's page, headless chromium opens it with a fake
// microphone speaking a phrase, calls the echo far end (订餐电话) and hangs up; the page's status lines are
// shown beside the exchange's log as they come. Argument: seconds of talking (default 4).
"use strict";
const path = require("node:path");
const h = require(path.join(__dirname, "../tests/web/harness"));

const seconds = Number(process.argv[2] || 4);
const start = Date.now();
const stamp = () => `${((Date.now() - start) / 1000).toFixed(2).padStart(6)} s`;
let logShown = 0;
let linesShown = 0;

function showExchange() {
  const lines = h.log().split("\n").filter(Boolean);
  for (; logShown < lines.length; ++logShown) console.log(`${stamp()}  exchange | ${lines[logShown].replace(/^\S+ /, "")}`);
}

async function showPage(page) {
  const lines = await h.lineHistory(page);
  for (; linesShown < lines.length; ++linesShown) console.log(`${stamp()}  page     | ${lines[linesShown]}`);
  showExchange();
}

async function watch(page, ms) {
  for (const end = Date.now() + ms; Date.now() < end; await page.waitForTimeout(100)) await showPage(page);
}

(async () => {
  await h.startExchange("[dial]\n3381 = tone 1000\n3368 = echo\n3191 = tone 440\n");
  await h.openBrowser(h.makePhrase());
  const page = await h.newPage();
  await watch(page, 500);
  await page.locator("#window").screenshot({ path: path.join(h.work, "idle.png") });
  console.log(`${stamp()}  demo     | calling 订餐电话 (3368, the echo far end)`);
  await page.selectOption("#department", "1");
  await page.click("#phone");
  await h.waitForLine(page, "订餐电话");
  await h.startRecording(page);
  await watch(page, seconds * 1000);
  const { sent, heard } = await h.takeRecording(page);
  const echo = h.alignment(sent, heard, h.RATE);
  await page.locator("#window").screenshot({ path: path.join(h.work, "in-call.png") });
  console.log(`${stamp()}  demo     | the phrase came back: correlation ${echo.correlation.toFixed(3)}, ` +
    `${(echo.lag / 8).toFixed(0)} ms mouth to ear (the echo itself waits 200 ms); hanging up`);
  await page.click("#phone");
  await watch(page, 800);
  await h.closeAll();
  showExchange();
  console.log(`${stamp()}  demo     | screenshots: ${h.work}/idle.png, ${h.work}/in-call.png`);
})().catch(async (e) => {
  console.error(`demo: ${e.message}`);
  await h.closeAll();
  process.exit(1);
});
