// Drives controller.html (headless Chromium) as the controller of a real share host: signs in to
// the account service as a device of the account, holds the signaling WebSocket (a page cannot
// set its handshake headers) and relays between the service and the page. Passes when the page
// decodes enough frames at the expected size and the control messages went out; then it holds
// the session until its standard input closes, so that the caller can check the host first.
// Runs inside scripts/netns --veth (the browser gathers nothing on loopback alone).
//   QUORLINTH_TEST_PASSWORD=... node controller.mjs --service URL --user NAME --device HOST_ID
//       [--expect-size WxH] [--frames N]
import { randomUUID } from 'node:crypto';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const kTimeoutMs = 40000;
const kMaxSignalBytes = 71680;
const kRetryableSessionErrors = new Set(['device_offline', 'media_not_ready', 'device_busy']);

let chromium;
let WebSocket;
try {
  ({ chromium } = await import('playwright-core'));
  ({ WebSocket } = await import('ws'));
} catch {
  console.log('playwright-core or ws is not installed (run npm install in tests/browser)');
  process.exit(77);
}
if (!process.env.QUORLINTH_NETNS) {
  console.error('refusing to run outside a private network namespace (use scripts/netns --veth)');
  process.exit(2);
}

function parseArguments(words) {
  const options = { frames: 30, expectSize: '' };
  for (let i = 0; i < words.length; i += 2) {
    const [flag, value] = [words[i], words[i + 1]];
    if (value === undefined) throw new Error('missing value for ' + flag);
    if (flag === '--service') options.service = value;
    else if (flag === '--user') options.user = value;
    else if (flag === '--device') options.device = value;
    else if (flag === '--expect-size') options.expectSize = value;
    else if (flag === '--frames') options.frames = Number.parseInt(value, 10);
    else throw new Error('unknown option ' + flag);
  }
  options.password = process.env.QUORLINTH_TEST_PASSWORD;
  if (!options.service || !options.user || !options.device || !options.password || !(options.frames > 0)) {
    throw new Error('usage: QUORLINTH_TEST_PASSWORD=... node controller.mjs --service URL --user NAME '
      + '--device HOST_ID [--expect-size WxH] [--frames N]');
  }
  return options;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function withDeadline(promise, what) {
  let timer;
  const expired = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error('timed out: ' + what)), kTimeoutMs);
  });
  try {
    return await Promise.race([promise, expired]);
  } finally {
    clearTimeout(timer);
  }
}

// One JSON request to the service; rejects with the service's error code.
async function callService(base, path, token, body) {
  const headers = { 'Content-Type': 'application/json' };
  if (token) headers.Authorization = 'Bearer ' + token;
  const response = await fetch(base + path, { method: 'POST', headers, body: JSON.stringify(body),
    signal: AbortSignal.timeout(12000) });
  const reply = await response.json().catch(() => ({}));
  if (!response.ok) {
    const error = new Error(path + ' failed: ' + response.status + ' ' + (reply.error ?? '服务请求失败'));
    error.code = reply.error;
    throw error;
  }
  return reply;
}

// Signs in and binds this run as a new device of the account.
async function signIn(options) {
  const login = await callService(options.service, '/v1/auth/login', null,
    { username: options.user, password: options.password });
  const bound = await callService(options.service, '/v1/devices', login.access_token, {
    installation_id: randomUUID(), name: '浏览器控制端', platform: 'linux', kind: 'computer',
    version: 'browser-test', multi_account: false });
  return { accountToken: login.access_token, deviceID: bound.device.id, deviceToken: bound.device_token };
}

async function createSession(options, access) {
  for (let attempt = 1; ; attempt += 1) {
    try {
      return await callService(options.service, '/v1/sessions', access.accountToken,
        { device_id: options.device, controller_id: access.deviceID });
    } catch (error) {
      if (!kRetryableSessionErrors.has(error.code) || attempt >= 10) throw error;
      await sleep(500);
    }
  }
}

function signalURL(base) {
  const url = new URL('/v1/signal', base);
  url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
  return url.href;
}

// The signaling channel: text frames of one JSON object each. Messages of another session are
// dropped once a session identifier is known.
class Signal {
  constructor(base, access, onMessage, onFailure) {
    this.sessionID = '';
    this.socket = new WebSocket(signalURL(base), {
      headers: { Authorization: 'Bearer ' + access.deviceToken, 'X-Device-ID': access.deviceID },
      maxPayload: kMaxSignalBytes, handshakeTimeout: 15000 });
    this.socket.on('message', (data, isBinary) => {
      const message = isBinary ? null : parseObject(data.toString('utf8'));
      if (!message) return onFailure(new Error('收到无效信令'));
      if (typeof message.type !== 'string') return;
      if (typeof message.session_id === 'string') {
        if (!this.sessionID) this.sessionID = message.session_id;
        else if (message.session_id !== this.sessionID) return;
      }
      onMessage(message);
    });
    // The controller's keepalive: a ping every 15 s once connected; the pong is not examined.
    this.socket.on('open', () => {
      this.pinger = setInterval(() => this.socket.ping(), 15000);
    });
    this.socket.on('error', (error) => onFailure(new Error('网络信令已断开：' + error.message)));
    this.socket.on('close', (code) => {
      clearInterval(this.pinger);
      if (!this.closing) onFailure(new Error('网络信令已断开，close=' + code));
    });
  }

  send(message) {
    if (this.socket.readyState !== WebSocket.OPEN) return;
    this.socket.send(JSON.stringify({ ...message, session_id: this.sessionID }));
  }

  close() {
    if (this.sessionID) this.send({ type: 'end' });
    this.closing = true;
    clearInterval(this.pinger);
    this.socket.close(1000);
  }
}

function parseObject(text) {
  try {
    const value = JSON.parse(text);
    return value && typeof value === 'object' && !Array.isArray(value) ? value : null;
  } catch {
    return null;
  }
}

// Resolves with the first truthy value of `check`, polled every 100 ms.
async function pollUntil(check) {
  for (;;) {
    const value = await check();
    if (value) return value;
    await sleep(100);
  }
}

async function launchPage(profile) {
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--autoplay-policy=no-user-gesture-required', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  const page = await context.newPage();
  return { context, page };
}

// A move, a click (press and release) at the centre, the back action and a line of text.
const kControlMessages = [
  { type: 'move', x: 0.25, y: 0.25 },
  { type: 'pointer', x: 0.5, y: 0.5, mask: 1 },
  { type: 'pointer', x: 0.5, y: 0.5, mask: 0 },
  { type: 'key', action: 0 },
  { type: 'text', text: '你好，Quorlinth' },
];

// Opens the signaling channel and routes its messages: "answer" and "ice" to the page, "ready"
// and "accepted" to their promises, "end" or a channel failure to `failed`.
function connectSignal(options, access, page) {
  const session = {};
  session.failed = new Promise((_, reject) => { session.fail = reject; });
  session.failed.catch(() => {});
  session.ready = new Promise((resolve) => { session.onReady = resolve; });
  session.accepted = new Promise((resolve) => { session.onAccepted = resolve; });
  session.signal = new Signal(options.service, access, (message) => {
    if (message.type === 'ready') session.onReady();
    else if (message.type === 'accepted') session.onAccepted(message);
    else if (message.type === 'end') session.fail(new Error('远端已结束会话：' + (message.reason ?? '')));
    else if (message.type === 'answer' || message.type === 'ice') {
      page.evaluate((m) => window.controller.onSignal(m), message)
        .catch((error) => session.fail(new Error('页面处理信令失败：' + error.message)));
    }
  }, (error) => session.fail(error));
  // Waits for `promise` within the time bound, giving up as soon as the session fails.
  session.within = (promise, what) => Promise.race([withDeadline(promise, what), session.failed]);
  return session;
}

// Waits for enough decoded frames and checks their codec and size.
async function checkVideo(page, session, options, offeredAt) {
  const { stats, presented } = await session.within(pollUntil(async () => {
    const [stats, presented] = await Promise.all([
      page.evaluate(() => window.controller.videoStats()),
      page.evaluate(() => ({ ...window.controller.state })),
    ]);
    return stats.framesDecoded >= options.frames && presented.frames >= 1 ? { stats, presented } : null;
  }), options.frames + ' decoded frames');
  console.log(`画面 解码 ${stats.framesDecoded} 帧 ${stats.frameWidth}x${stats.frameHeight} `
    + `显示 ${presented.frames} 帧 ${presented.width}x${presented.height} codec=${stats.codec} `
    + `decoder=${stats.decoder || '-'} 用时 ${Math.round(performance.now() - offeredAt)}ms`);
  if (presented.errors.length) console.log('页面错误 ' + presented.errors.join('; '));
  if (!/h264/i.test(stats.codec)) throw new Error('video codec is ' + stats.codec);
  const size = `${stats.frameWidth}x${stats.frameHeight}`;
  if (options.expectSize && size !== options.expectSize) throw new Error('decoded size ' + size);
}

async function sendInput(page, session) {
  await session.within(pollUntil(() => page.evaluate(() => window.controller.state.channels.control === 'open')),
    'control channel open');
  const sent = await page.evaluate((messages) => messages.map((m) => window.controller.sendControl(m)),
    kControlMessages);
  if (sent.some((ok) => !ok)) throw new Error('control channel refused a message');
  console.log('控制已发送 ' + kControlMessages.map((m) => m.type).join(' '));
}

async function run(options) {
  const access = await signIn(options);
  console.log('控制端设备 ' + access.deviceID);
  const profile = mkdtempSync(join(tmpdir(), 'quorlinth-chromium-'));
  let context;
  let session;
  try {
    let page;
    ({ context, page } = await launchPage(profile));
    await page.exposeFunction('toDriver', (message) => session?.signal.send(message));
    await page.goto(pathToFileURL(join(dirname(fileURLToPath(import.meta.url)), 'controller.html')).href);
    session = connectSignal(options, access, page);

    await session.within(session.ready, 'ready');
    const created = await session.within(createSession(options, access), 'session');
    if (typeof created.session_id === 'string' && !session.signal.sessionID) {
      session.signal.sessionID = created.session_id;
    }
    console.log('等待对方在设备上允许本次连接 target=' + (created.device?.name ?? '?'));
    const acceptance = await session.within(session.accepted, 'accepted');
    const offeredAt = performance.now();
    await page.evaluate((servers) => window.controller.start(servers), acceptance.ice_servers ?? []);

    await checkVideo(page, session, options, offeredAt);
    await sendInput(page, session);
    await Promise.race([waitForStdinEnd(), session.failed]);
    await page.evaluate(() => window.controller.close());
  } finally {
    session?.signal.close();
    await context?.close().catch(() => {});
    rmSync(profile, { recursive: true, force: true });
  }
}

function waitForStdinEnd() {
  return new Promise((resolve) => {
    process.stdin.on('end', resolve);
    process.stdin.on('error', resolve);
    process.stdin.resume();
  });
}

try {
  await run(parseArguments(process.argv.slice(2)));
  console.log('PASS');
  // Give the "end" frame and the close handshake a moment to leave.
  setTimeout(() => process.exit(0), 300);
} catch (error) {
  console.error('FAIL ' + error.message);
  process.exit(1);
}
