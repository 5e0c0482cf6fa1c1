// The exchange's CPU for web calls: N pages of one headless chromium call the echo far end for S seconds;
// the exchange's user and system time over that span (from /proc) is divided by the calls and by the RTP
// packets they carried. Run with node from the repository, in a network namespace (fixed ports):
//   scripts/isolated node scripts/bench-web.js [CALLS] [SECONDS]
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const h = require(path.join(__dirname, "../tests/web/harness"));

const calls = Number(process.argv[2] || 4);
const seconds = Number(process.argv[3] || 20);
const TICKS = 100;  // clock ticks per second (getconf CLK_TCK)

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return (Number(fields[11]) + Number(fields[12])) / TICKS;  // utime, stime
}

(async () => {
  await h.startExchange("[dial]\n3368 = echo\n");
  const pid = h.exchangePid();
  await h.openBrowser(h.makePhrase());
  const pages = [];
  for (let i = 0; i < calls; ++i) {
    const page = await h.newPage();
    await page.selectOption("#department", "1");
    await page.click("#phone");
    await h.waitForLine(page, "订餐电话");
    pages.push(page);
  }
  await new Promise((r) => setTimeout(r, 1000));
  const before = cpuSeconds(pid);
  await new Promise((r) => setTimeout(r, seconds * 1000));
  const used = cpuSeconds(pid) - before;
  for (const page of pages) await page.click("#phone");
  await new Promise((r) => setTimeout(r, 500));
  const packets = h.log().split("\n").filter((l) => / call ended: web page /.test(l))
    .map((l) => /datagrams in (\d+) out (\d+)/.exec(l)).reduce((s, m) => s + Number(m[1]) + Number(m[2]), 0);
  await h.closeAll();
  const share = (100 * used) / seconds;
  console.log(`web calls: ${calls} to the echo far end for ${seconds} s: exchange CPU ${share.toFixed(2)} % of a core, ` +
    `${(share / calls).toFixed(3)} % per call; ${packets} blocks in and out in all, ` +
    `about ${((used * 1e6) / (packets * seconds / (seconds + 1.5))).toFixed(1)} us each (RTP, SRTP and the call)`);
})().catch(async (e) => {
  console.error(`bench-web: ${e.message}`);
  await h.closeAll();
  process.exit(1);
});
