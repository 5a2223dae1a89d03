// Interop with the browser's WebRTC: a headless Chromium page makes the receive-only H.264
// offer with the "control" and "transfer" channels, our engine (rtc_test_peer answerer) answers
// and streams, and both sides report what arrived. Runs inside scripts/netns --veth.
//   node interop.mjs <path to rtc_test_peer>
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.log('playwright-core is not installed (run npm install in tests/browser)');
  process.exit(77);
}
if (!process.env.QUORLINTH_NETNS) {
  console.error('refusing to run outside a private network namespace (use scripts/netns --veth)');
  process.exit(2);
}

const peerProgram = process.argv[2];
const timeoutMs = 60000;
const fail = (text) => {
  console.error('FAIL ' + text);
  process.exitCode = 1;
};

// --- our engine, as a child speaking JSON lines ---
const engine = spawn(peerProgram, ['answerer', '--address', '10.213.0.1'], { stdio: ['pipe', 'pipe', 'inherit'] });
const engineEvents = [];
const engineWaiters = [];
const sendEngine = (command) => engine.stdin.write(JSON.stringify(command) + '\n');
createInterface({ input: engine.stdout }).on('line', (line) => {
  let event;
  try { event = JSON.parse(line); } catch { return; }
  engineEvents.push(event);
  if (event.event === 'signal') page?.evaluate((message) => window.fromEngine(message), event).catch(() => {});
  for (const waiter of [...engineWaiters]) waiter();
});
const waitEngine = (match) => new Promise((resolve, reject) => {
  const check = () => {
    const found = engineEvents.find(match);
    if (!found) return false;
    engineWaiters.splice(engineWaiters.indexOf(check), 1);
    clearTimeout(timer);
    resolve(found);
    return true;
  };
  const timer = setTimeout(() => {
    engineWaiters.splice(engineWaiters.indexOf(check), 1);
    reject(new Error('engine event not seen'));
  }, timeoutMs);
  engineWaiters.push(check);
  check();
});

// --- the browser ---
const profile = mkdtempSync(join(tmpdir(), 'quorlinth-chromium-'));
let context;
let page;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  page = await context.newPage();
  await page.exposeFunction('toEngine', (message) => sendEngine({ cmd: 'signal', ...message }));
  await page.setContent('<video autoplay muted playsinline></video>');
  await waitEngine((e) => e.event === 'started');

  await page.evaluate(async () => {
    const state = { messages: [], frames: 0, width: 0, height: 0, offered: '' };
    window.state = state;
    const pc = new RTCPeerConnection({ bundlePolicy: 'max-bundle', rtcpMuxPolicy: 'require' });
    window.pc = pc;
    const transceiver = pc.addTransceiver('video', { direction: 'recvonly' });
    const h264 = RTCRtpReceiver.getCapabilities('video').codecs.filter((c) => c.mimeType.toLowerCase() === 'video/h264');
    transceiver.setCodecPreferences(h264);
    window.channels = {};
    for (const label of ['control', 'transfer']) {
      const channel = pc.createDataChannel(label, { ordered: true });
      channel.binaryType = 'arraybuffer';
      channel.onmessage = (event) => state.messages.push({ label, binary: typeof event.data !== 'string',
        data: typeof event.data === 'string' ? event.data : Array.from(new Uint8Array(event.data)) });
      window.channels[label] = channel;
    }
    pc.ontrack = (event) => {
      const video = document.querySelector('video');
      video.srcObject = new MediaStream([event.track]);
      const count = () => video.requestVideoFrameCallback((now, meta) => {
        state.frames += 1;
        state.width = meta.width;
        state.height = meta.height;
        count();
      });
      count();
    };
    pc.onicecandidate = (event) => {
      if (event.candidate) window.toEngine({ type: 'ice', candidate: event.candidate.candidate,
        sdp_mid: event.candidate.sdpMid, sdp_mline_index: event.candidate.sdpMLineIndex });
    };
    window.fromEngine = async (message) => {
      if (message.type === 'answer') await pc.setRemoteDescription({ type: 'answer', sdp: message.sdp });
      else if (message.type === 'ice') await pc.addIceCandidate({ candidate: message.candidate,
        sdpMid: message.sdp_mid || null, sdpMLineIndex: message.sdp_mline_index });
    };
    const offer = await pc.createOffer();
    await pc.setLocalDescription(offer);
    state.offered = offer.sdp;
    window.toEngine({ type: 'offer', sdp: offer.sdp });
  });

  const connected = await waitEngine((e) => e.event === 'peer-state' && e.state === 2);
  console.log('engine connected', connected.state);
  for (const label of ['control', 'transfer']) await waitEngine((e) => e.event === 'remote-channel' && e.label === label);
  await page.waitForFunction(() => Object.values(window.channels).every((c) => c.readyState === 'open'), null, { timeout: timeoutMs });

  sendEngine({ cmd: 'push', width: 1920, height: 1080, fps: 30 });
  await page.waitForFunction(() => window.state.frames >= 30, null, { timeout: timeoutMs });
  const video = await page.evaluate(() => ({ frames: window.state.frames, width: window.state.width, height: window.state.height }));
  console.log(`browser decoded ${video.frames} frames at ${video.width}x${video.height}`);
  if (video.width !== 1920 || video.height !== 1080) fail('decoded size ' + video.width + 'x' + video.height);

  // Engine → browser: text on "control", binary on "transfer".
  sendEngine({ cmd: 'send', label: 'control', binary: false, data: '{"type":"hello","text":"你好"}' });
  sendEngine({ cmd: 'send', label: 'transfer', binary: true, data: Buffer.from([0, 1, 2, 250]).toString('base64') });
  await page.waitForFunction(() => window.state.messages.length >= 2, null, { timeout: timeoutMs });
  const received = await page.evaluate(() => window.state.messages);
  console.log('browser received', JSON.stringify(received));
  // Order holds within a channel, not across the two.
  const control = received.find((m) => m.label === 'control');
  const transfer = received.find((m) => m.label === 'transfer');
  if (control?.binary !== false || control?.data !== '{"type":"hello","text":"你好"}') fail('control text');
  if (transfer?.binary !== true || JSON.stringify(transfer?.data) !== '[0,1,2,250]') fail('transfer binary');

  // Browser → engine.
  await page.evaluate(() => {
    window.channels.control.send('{"type":"pointer","x":0.5}');
    window.channels.transfer.send(new Uint8Array([9, 8, 7]).buffer);
  });
  const text = await waitEngine((e) => e.event === 'message' && e.label === 'control');
  const binary = await waitEngine((e) => e.event === 'message' && e.label === 'transfer');
  console.log('engine received', text.data, binary.data);
  if (text.data !== '{"type":"pointer","x":0.5}' || text.binary) fail('engine text');
  if (Buffer.from(binary.data, 'base64').toString('hex') !== '090807' || !binary.binary) fail('engine binary');

  const stats = await page.evaluate(async () => {
    let inbound;
    (await window.pc.getStats()).forEach((entry) => { if (entry.type === 'inbound-rtp' && entry.kind === 'video') inbound = entry; });
    return inbound && { framesDecoded: inbound.framesDecoded, decoder: inbound.decoderImplementation };
  });
  console.log('browser stats', JSON.stringify(stats));
  if (!stats || stats.framesDecoded < 30) fail('browser statistics');
} catch (error) {
  fail(error.message);
} finally {
  sendEngine({ cmd: 'quit' });
  await context?.close().catch(() => {});
  rmSync(profile, { recursive: true, force: true });
  const exited = engine.exitCode !== null || await Promise.race([
    new Promise((resolve) => engine.once('exit', () => resolve(true))),
    new Promise((resolve) => setTimeout(() => resolve(false), 10000)),
  ]);
  if (!exited) {
    engine.kill('SIGKILL');
    fail('engine did not exit');
  }
}
if (!process.exitCode) console.log('PASS');
