// The visitor's page: the Windows client's window and its call, with WebRTC in place of the sound card and
// a WebSocket in place of the phone server's TCP connection. The exchange sends the same tags the client
// receives, one message each; the page answers them as the client does and shows the client's lines.
"use strict";

// The venue's departments, each the extension it dials (as the client has them built in).
const DEPARTMENTS = [
  { name: "订房电话", extension: "3381" },
  { name: "订餐电话", extension: "3368" },
  { name: "营销中心", extension: "3191" },
];
const MAKER_LINE = "Corvalis 制作";
const VERSION_LINE = "Ver2.0.05.10.30";
const CHANNEL_LIMIT = 4;        // the client tries four channels; here: four connections
const LOG_KEEP_BYTES = 60;      // an append that finds more than this (in GBK bytes) empties the panel
const LIGHT_PERIOD_MS = 200;

const $ = (id) => document.getElementById(id);
const log = $("status-log");
const phone = $("phone");
const department = $("department");
const voice = $("voice");

// ---- Status log: the client's rule, counted in the bytes its GBK text takes ----

function gbkBytes(text) {
  let n = 0;
  for (const ch of text) n += ch.codePointAt(0) < 0x80 ? 1 : 2;
  return n;
}

let logBytes = 0;
function appendStatusLine(text) {
  if (logBytes > LOG_KEEP_BYTES) clearStatusLog();
  const line = document.createElement("div");
  line.textContent = text;
  log.appendChild(line);
  logBytes += gbkBytes(text) + 2;  // CR LF
  log.classList.toggle("fits", log.scrollHeight <= log.clientHeight);
}

function clearStatusLog() {
  log.textContent = "";
  logBytes = 0;
  log.classList.add("fits");
}

// ---- Lights ----

let onlinePhase = 0;
function startOnlineLight() {
  setInterval(() => {
    onlinePhase ^= 1;
    $("online-light").hidden = onlinePhase !== 1;
  }, LIGHT_PERIOD_MS);
}

// The client flips the talking light on every voice datagram; the page on every look at the received
// packet count that finds it grown.
let talkingPhase = 0;
let packetsSeen = 0;
function showTalkingLight(on) {
  $("talking-light").hidden = !on;
}
async function watchVoice() {
  if (!call || !call.pc) return;
  const stats = await call.pc.getStats();
  stats.forEach((s) => {
    if (s.type === "inbound-rtp" && s.kind === "audio" && s.packetsReceived > packetsSeen) {
      packetsSeen = s.packetsReceived;
      talkingPhase ^= 1;
      showTalkingLight(offHook && talkingPhase === 1);
    }
  });
}
setInterval(watchVoice, LIGHT_PERIOD_MS / 2);

// ---- Start-up ----

function runReadinessChecks() {
  DEPARTMENTS.forEach((d, row) => department.add(new Option(d.name, String(row))));
  department.selectedIndex = 0;
  const media = navigator.mediaDevices && window.RTCPeerConnection;
  if (!media) {
    appendStatusLine("Err012:本机没有声卡");
    appendStatusLine("无法使用本软件");
    return false;
  }
  if (!navigator.onLine) {
    appendStatusLine("Err011:本机未接入互联网...");
    appendStatusLine("请首先上网!");
    return false;
  }
  startOnlineLight();
  appendStatusLine("通过 Lan 接入互联网");
  appendStatusLine("可以拨电话了");
  appendStatusLine("请选择要通话的部门...");
  return true;
}

// ---- The call ----

let audioReady = false;
let offHook = false;
let tornDown = true;
let call = null;  // { socket, pc, stream, channel, callee, extension }

function onPhoneButton() {
  if (!audioReady) return;
  offHook = !offHook;
  talkingPhase = 0;
  if (offHook) {
    tornDown = false;
    appendStatusLine("已摘机...");
    const row = Math.max(0, department.selectedIndex);
    call = { channel: 0, callee: DEPARTMENTS[row].name, extension: DEPARTMENTS[row].extension };
    startCall(call);
    return;
  }
  if (!tornDown) tearDownCall();
  appendStatusLine("已挂机！");
  showTalkingLight(false);
}

async function startCall(c) {
  try {
    c.stream = await navigator.mediaDevices.getUserMedia({ audio: { echoCancellation: true }, video: false });
  } catch (e) {
    appendStatusLine(String(e.name || e));
    appendStatusLine("Err004:声卡输入打开失败！");
  }
  if (call !== c) return;  // hung up meanwhile
  connectPhoneServer(c);
}

function connectPhoneServer(c) {
  const url = (location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/call";
  let socket;
  try {
    socket = new WebSocket(url);
  } catch (e) {
    appendStatusLine("Err006:电话服务器建立连接失败！");
    return;
  }
  c.socket = socket;
  let opened = false;
  socket.onopen = async () => {
    opened = true;
    await sendOffer(c, socket);
  };
  socket.onmessage = (event) => onServerMessage(c, socket, event.data);
  socket.onclose = () => {
    if (c.socket !== socket) return;  // a channel given up after a busy reply
    if (!opened) {
      appendStatusLine("Err007:电话服务器连接失败！");
      return;
    }
    // The server closed the line: the call is torn down, the button still reads "hang up".
    if (call === c && !tornDown) tearDownCall();
  };
}

async function sendOffer(c, socket) {
  const pc = new RTCPeerConnection({ bundlePolicy: "max-bundle", rtcpMuxPolicy: "require" });
  c.pc = pc;
  if (c.stream) c.stream.getAudioTracks().forEach((t) => pc.addTrack(t, c.stream));
  else pc.addTransceiver("audio", { direction: "recvonly" });
  pc.ontrack = (event) => {
    voice.srcObject = event.streams[0] || new MediaStream([event.track]);
  };
  const offer = await pc.createOffer();
  await pc.setLocalDescription(offer);
  if (socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify({ offer: pc.localDescription.sdp }));
}

async function onServerMessage(c, socket, data) {
  let message;
  try {
    message = JSON.parse(data);
  } catch (e) {
    return;
  }
  if (typeof message.answer === "string" && c.pc) {
    await c.pc.setRemoteDescription({ type: "answer", sdp: message.answer });
  } else if (typeof message.tag === "string") {
    handleSignal(c, socket, message.tag);
  }
}

function handleSignal(c, socket, tag) {
  if (tag.startsWith("{ChanelBusyNow}")) {
    onBusyChannel(c, socket);
  } else if (tag.startsWith("{ChanelWaitBohao}")) {
    appendStatusLine("正在联系");
    appendStatusLine(c.callee);
    socket.send(JSON.stringify({ dial: c.extension }));
  } else if (tag.startsWith("{BoHaoNext}")) {
    appendStatusLine("占线，正在拨下一个号码...");
  } else if (tag.startsWith("{PasswordOrTelphoneNumberFailed}")) {
    appendStatusLine("您无权拨这个号码！");
    appendStatusLine("请检查PassWord！");
  }
}

function onBusyChannel(c, socket) {
  appendStatusLine("连接未接纳，请求下一通道.");
  appendStatusLine("请稍候...");
  closeMedia(c);
  c.socket = null;
  socket.close();
  c.channel += 1;
  if (c.channel < CHANNEL_LIMIT) connectPhoneServer(c);
  else appendStatusLine("被叫方通道忙请稍后再拨");
}

function closeMedia(c) {
  if (c.pc) c.pc.close();
  c.pc = null;
  voice.srcObject = null;
}

function tearDownCall() {
  tornDown = true;
  if (offHook) appendStatusLine("对方已经挂断电话，请按 挂断 按钮!");
  const c = call;
  if (!c) return;
  closeMedia(c);
  if (c.stream) c.stream.getTracks().forEach((t) => t.stop());
  const socket = c.socket;
  c.socket = null;
  if (socket) socket.close();
}

// ---- The window ----

// Scaled as a whole to fit the screen: smaller on a phone, larger on a desktop (at most 1.5 times).
function fitWindow() {
  const scale = Math.min(1.5, (window.innerWidth - 16) / 373, (window.innerHeight - 16) / 195);
  $("window").style.transform = `scale(${Math.max(0.5, scale)})`;
}
window.addEventListener("resize", fitWindow);
fitWindow();

phone.addEventListener("click", onPhoneButton);
$("window").addEventListener("contextmenu", (event) => {
  event.preventDefault();
  clearStatusLog();
  appendStatusLine(MAKER_LINE);
  appendStatusLine(VERSION_LINE);
});
window.addEventListener("beforeunload", () => {
  if (call && !tornDown) tearDownCall();
});

audioReady = runReadinessChecks();
