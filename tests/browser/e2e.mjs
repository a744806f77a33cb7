// Real-browser end-to-end suite: installs the host into a fresh wine prefix
// the way a user does, lets Chromium start the deployed copy for a test
// extension, and checks what the extension receives.
//
// Exit status 0 only when every step and scenario passed. A browser that will
// not start or an extension that does not load is a failure, never a skip.

import { spawn, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import assert from 'node:assert/strict';

import { sampleBigText } from './big-text.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const bin = process.env.LUMICLIP_BIN || path.join(root, 'build/win32/bin');
const work = path.join(root, 'build/browser');
const prefix = path.join(work, 'prefix');
const userData = path.join(work, 'user-data');
const extensionDir = path.join(here, 'extension');
const chromiumPath = process.env.LUMICLIP_CHROMIUM || '/usr/bin/chromium';

const HOST_NAME = 'com.lumiclipapp.api';
const EXTENSION_ID = 'ggboicgfhomimadepbllgoiodjhaeipi';
const ORIGIN = `chrome-extension://${EXTENSION_ID}/`;
const HOST_VERSION = '0.98.93';
const EXE = 'lumiclip-chrome-plugin.exe';
const REG_KEY = `HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\${HOST_NAME}`;
const MAX_CHUNK_BYTES = 921600;

const started = Date.now();
const results = [];
const elapsed = () => `${((Date.now() - started) / 1000).toFixed(1)}s`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function say(line) {
  process.stdout.write(`${line}\n`);
}

const wineEnv = { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all' };
delete wineEnv.DISPLAY;  // the host has no window; no X server is needed

// Output goes to a file, not a pipe: wine's helper processes inherit the
// descriptors and would hold a pipe open long after the command returned.
let runCount = 0;
function run(cmd, args, { timeout = 60000, env = wineEnv, allowFail = false } = {}) {
  const out = path.join(work, `cmd-${++runCount}.log`);
  fs.mkdirSync(work, { recursive: true });
  const fd = fs.openSync(out, 'w');
  let r;
  try {
    r = spawnSync(cmd, args, { env, timeout, stdio: ['ignore', fd, fd] });
  } finally {
    fs.closeSync(fd);
  }
  const text = fs.readFileSync(out, 'utf8');
  fs.rmSync(out, { force: true });
  if (!allowFail && (r.error || r.status !== 0)) {
    const why = r.error ? r.error.message : `exit ${r.status}${r.signal ? ` (${r.signal})` : ''}`;
    throw new Error(`${cmd} ${args.join(' ')}: ${why}\n${text}`.trim());
  }
  return { status: r.status, output: text };
}

function which(name) {
  const r = spawnSync('sh', ['-c', `command -v ${name}`], { encoding: 'utf8' });
  return r.status === 0 ? r.stdout.trim() : null;
}

// --- Id of the test extension: the first 32 hex digits of sha256 of the
// DER public key, each digit mapped 0-f to a-p.
function extensionIdFromKey(b64) {
  const hex = createHash('sha256').update(Buffer.from(b64, 'base64')).digest('hex').slice(0, 32);
  return [...hex].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

// --- Scenario bookkeeping.
let resync = null;
async function scenario(name, body) {
  const t = Date.now();
  try {
    await body();
    results.push({ name, ok: true });
    say(`ok   ${name} (${Date.now() - t} ms)`);
    return true;
  } catch (e) {
    results.push({ name, ok: false });
    // Whatever arrived late belongs to this scenario, not to the next one.
    if (resync) await resync().catch(() => {});
    // Stack frames of the page's own code say nothing the message does not.
    const text = (e && e.message ? e.message : String(e)).split('\n').filter((l) => !/^\s+at /.test(l)).join('\n');
    say(`FAIL ${name} (${Date.now() - t} ms)\n${indent(text)}`);
    return false;
  }
}

function indent(text) {
  return String(text).split('\n').map((l) => `     | ${l}`).join('\n');
}

let setupFailed = false;
function setupFailure(what, detail) {
  setupFailed = true;
  say(`FAIL setup: ${what}`);
  // eslint-disable-next-line no-control-regex
  if (detail) say(indent(String(detail).replace(/\x1b\[[0-9;]*m/g, '').split('\n').slice(0, 25).join('\n')));
  return false;
}

// --- Talking to the extension page.
class Extension {
  constructor(page) {
    this.page = page;
    this.seen = 0;  // messages already consumed by scenarios
    this.disconnectsSeen = 0;
  }

  connect() { return this.page.evaluate(() => lc.connect()); }

  // Connects a port that starts a new host, and returns its id. Under load,
  // wine now and then ends a new process before any of its code runs: the
  // port closes with no message and the host's log has no new "Started".
  // Such a start is tried once more, with a note; a host that ran and then
  // failed is left for the scenario to judge.
  async connectHost() {
    const started = () => (readLog(deployedLog).match(/^Started$/gm) || []).length;
    const before = started();
    const id = await this.connect();
    const want = this.seen + 1;
    await this.page.waitForFunction(([n, d]) => lc.messages.length >= n || lc.disconnects.length > d,
      [want, this.disconnectsSeen], { timeout: 40000, polling: 50 }).catch(() => {});
    const s = await this.summary();
    if (s.total >= want || s.disconnects.length === this.disconnectsSeen || started() > before) return id;
    say(`     | [browser] the host's start was lost by wine (the port closed, no new "Started" in its log): ` +
      `connecting once more${hostStderrTail()}`.replace(/\n/g, '\n     | '));
    this.disconnectsSeen = s.disconnects.length;
    return this.connect();
  }
  send(request) { return this.page.evaluate((r) => lc.send(r), request); }
  summary(from = this.seen) { return this.page.evaluate((f) => lc.summary(f), from); }
  full(index) { return this.page.evaluate((i) => lc.full(i), index); }

  // Waits for `count` new messages, returns them and marks them consumed. A
  // disconnect ends the wait at once: nothing more can come.
  async next(count, timeout = 20000) {
    const want = this.seen + count;
    let timedOut = false;
    try {
      await this.page.waitForFunction(([n, d]) => lc.messages.length >= n || lc.disconnects.length > d,
        [want, this.disconnectsSeen], { timeout, polling: 50 });
    } catch (e) {
      timedOut = true;
    }
    const s = await this.summary();
    if (s.total < want) {
      throw new Error(`${timedOut ? `waited ${timeout} ms` : 'the port closed'} for ${count} message(s), ` +
        `got ${s.total - this.seen}: ${describe(s)}${hostStderrTail()}`);
    }
    this.seen = want;
    return s.messages.slice(0, count);
  }

  async waitDisconnect(timeout) {
    const want = this.disconnectsSeen + 1;
    try {
      await this.page.waitForFunction((n) => lc.disconnects.length >= n, want, { timeout, polling: 50 });
    } catch (e) {
      throw new Error(`no disconnect within ${timeout} ms: ${describe(await this.summary())}`);
    }
    const s = await this.summary();
    this.disconnectsSeen = want;
    return s.disconnects[want - 1];
  }

  // Nothing unexpected on the side: no disconnect, no malformed frame.
  async assertHealthy() {
    const s = await this.summary();
    assert.equal(s.anomalies.length, 0, `frames that are not {data: string}: ${JSON.stringify(s.anomalies)}`);
    assert.equal(s.disconnects.length, this.disconnectsSeen,
      `unexpected disconnect: ${JSON.stringify(s.disconnects.slice(this.disconnectsSeen))}` + hostStderrTail());
    assert.ok(s.open, 'the port is no longer open');
  }
}

function describe(s) {
  const msgs = s.messages.map((m) => m.raw !== null ? m.raw.slice(0, 200) : `<${m.rawLength} chars, topic ${m.topic}>`);
  return JSON.stringify({ messages: msgs, disconnects: s.disconnects, anomalies: s.anomalies, open: s.open });
}

// The deployed host's log, once the install has made it.
let deployedLog = null;

// What the host left behind, for a failure that happens before any message:
// wine's output, the wrapper's starts, the host's own log.
function hostStderrTail() {
  const tail = (file, title) => {
    try {
      const text = fs.readFileSync(file, 'utf8').trim();
      return text ? `\n${title} (last lines):\n${text.split('\n').slice(-10).join('\n')}` : `\n${title}: empty`;
    } catch {
      return `\n${title}: none`;
    }
  };
  return tail(path.join(work, 'host-stderr.log'), 'host stderr') +
      tail(path.join(work, 'host-starts.log'), 'host starts') +
      (deployedLog ? tail(deployedLog, 'host log') : '');
}

function assertMessage(m, expected, what) {
  assert.equal(m.parseError, null, `${what}: not JSON (${m.parseError}): ${m.raw}`);
  assert.deepEqual(m.parsed, expected, `${what}: got ${m.raw}`);
}

function engineIn(folder) {
  return fs.readdirSync(folder).filter((n) => n.toLowerCase() === 'raz.dll');
}

function readLog(file) {
  try {
    return fs.readFileSync(file, 'latin1').replace(/\r/g, '');
  } catch {
    return '';
  }
}

// --- Main.
let context = null;
let wineserverStarted = false;
let keeper = null;

async function cleanup() {
  if (context) {
    try {
      await context.close();
    } catch { /* already gone */ }
    context = null;
  }
  if (keeper) {
    keeper.stdin.end();
    keeper = null;
  }
  if (wineserverStarted) {
    run('wineserver', ['-k'], { allowFail: true, timeout: 20000 });
    wineserverStarted = false;
  }
}

async function main() {
  say(`browser suite: ${root}`);

  // Preconditions that are not the product's fault but must be said plainly.
  for (const f of [EXE, 'RAZ.dll', 'lumiclip-launcher.exe']) {
    if (!fs.existsSync(path.join(bin, f))) {
      return setupFailure(`${path.join(bin, f)} is missing (build with: cmake --preset win32 && cmake --build --preset win32)`);
    }
  }
  // LUMICLIP_WINE: wine64 for the win64 build (Debian's wine takes the 32-bit loader).
  const wine = process.env.LUMICLIP_WINE ? which(process.env.LUMICLIP_WINE) : which('wine');
  if (!wine) return setupFailure(`${process.env.LUMICLIP_WINE || 'wine'} is not installed`);
  if (!fs.existsSync(chromiumPath)) return setupFailure(`Chromium not found at ${chromiumPath}`);
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch (e) {
    return setupFailure('playwright-core is not installed (run ./scripts/bootstrap or npm install in tests/browser)', e.message);
  }

  const keyB64 = fs.readFileSync(path.join(here, 'test-extension-public-key.b64'), 'utf8').trim();
  const manifest = JSON.parse(fs.readFileSync(path.join(extensionDir, 'manifest.json'), 'utf8'));
  if (manifest.key !== keyB64) return setupFailure('extension/manifest.json "key" differs from test-extension-public-key.b64');
  const derivedId = extensionIdFromKey(keyB64);
  if (derivedId !== EXTENSION_ID) return setupFailure(`the key gives extension id ${derivedId}, not ${EXTENSION_ID}`);
  say(`setup: extension key gives id ${derivedId}`);

  // A fresh prefix, a copy of the build's template prefix, with a server
  // that stays up for the whole run: every host start is then quick, and no
  // wine service is a child of the browser.
  if (fs.existsSync(prefix)) run('wineserver', ['-k'], { allowFail: true, timeout: 20000 });  // a run that was killed
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(path.join(userData, 'NativeMessagingHosts'), { recursive: true });
  try {
    run(path.join(root, 'scripts/wineprefix'), [wine, prefix], { timeout: 660000 });
  } catch (e) {
    return setupFailure('scripts/wineprefix could not make the prefix', e.message);
  }
  run('wineserver', ['-p']);
  wineserverStarted = true;
  say(`setup: fresh wine prefix ${prefix} (${elapsed()})`);
  // One Windows program kept running for the whole suite, as a desktop
  // always has some: wine's services then stay up instead of shutting down
  // after each short-lived process and being restarted by the next one (a
  // host started in that window waits 10 s for RpcSs). They are also started
  // from here, not by the browser, so none of them holds the browser's pipes.
  keeper = spawn(wine, ['cmd'], { env: wineEnv, stdio: ['pipe', 'ignore', 'ignore'] });
  keeper.on('error', () => {});

  // The programs are copied once: a rebuild elsewhere during the run cannot
  // then mix two builds. The host is installed as a user does, the
  // downloaded file opened with no arguments; its install log lands beside it.
  const snap = path.join(work, 'bin');
  fs.mkdirSync(snap);
  for (const f of [EXE, 'RAZ.dll', 'lumiclip-launcher.exe']) fs.copyFileSync(path.join(bin, f), path.join(snap, f));
  const installLog = path.join(snap, 'native-lumiclip.log');
  try {
    // A failed install would end in a message box: the timeout catches that.
    run(wine, [path.join(snap, EXE)], { timeout: 60000 });
  } catch (e) {
    return setupFailure('install mode did not finish', `${e.message}\ninstall log:\n${readLog(installLog)}`);
  }
  const usersDir = path.join(prefix, 'drive_c/users');
  const user = fs.readdirSync(usersDir).find((u) => u !== 'Public' && fs.existsSync(path.join(usersDir, u, 'AppData/Roaming')));
  if (!user) return setupFailure(`no user profile under ${usersDir}`);
  const deployed = path.join(usersDir, user, 'AppData/Roaming/Lumiclip');
  deployedLog = path.join(deployed, 'native-lumiclip.log');
  const deployedExe = path.join(deployed, EXE);
  const deployedManifest = path.join(deployed, 'lumiclip-native-manifest.json');
  const winDeployed = `C:\\users\\${user}\\AppData\\Roaming\\Lumiclip`;
  const winExe = `${winDeployed}\\${EXE}`;
  const winManifest = `${winDeployed}\\lumiclip-native-manifest.json`;

  const checkDeployedManifest = () => {
    assert.ok(fs.existsSync(deployedManifest), `${deployedManifest} is missing`);
    const text = fs.readFileSync(deployedManifest, 'utf8');
    let m;
    try {
      m = JSON.parse(text);
    } catch (e) {
      assert.fail(`deployed manifest is not JSON (${e.message}):\n${text}`);
    }
    assert.equal(m.name, HOST_NAME, 'manifest name');
    assert.equal(m.type, 'stdio', 'manifest type');
    // The browser takes a relative path as relative to the manifest's folder.
    const hostPath = /^[a-z]:\\/i.test(String(m.path)) ? String(m.path) : `${winDeployed}\\${m.path}`;
    assert.equal(hostPath.toLowerCase(), winExe.toLowerCase(), `manifest path ${m.path} names the deployed host`);
    assert.ok(Array.isArray(m.allowed_origins) && m.allowed_origins.includes(ORIGIN),
      `manifest allowed_origins lacks ${ORIGIN}: ${JSON.stringify(m.allowed_origins)}`);
  };

  const installOk = await scenario('install: deployed host, manifest and registry value', async () => {
    assert.ok(fs.existsSync(deployedExe), `${deployedExe} is missing; install log:\n${readLog(installLog)}`);
    assert.ok(fs.readFileSync(deployedExe).equals(fs.readFileSync(path.join(snap, EXE))), 'the deployed host differs from the built one');
    assert.ok(!/\*\*\*\* Error/.test(readLog(installLog)), `the install logged an error:\n${readLog(installLog)}`);
    checkDeployedManifest();
    assert.deepEqual(engineIn(deployed), [], 'an engine is already in the deployment folder');
    const q = run(wine, ['reg', 'query', REG_KEY, '/ve'], { allowFail: true, timeout: 30000 });
    const line = q.output.replace(/\r/g, '').split('\n').find((l) => /REG_SZ/.test(l));
    assert.ok(line, `no REG_SZ default value under ${REG_KEY}: ${q.output}`);
    const value = line.replace(/^.*REG_SZ\s+/, '').trim();
    assert.equal(value.toLowerCase(), winManifest.toLowerCase(), 'registry value names the deployed manifest');
  });
  if (!installOk) return false;

  // The only fixtures: the browser's Linux manifest and the wrapper it
  // starts, which runs the deployed host under wine through the launcher
  // (pipes as a Windows browser gives them, the browser's arguments passed on).
  const wrapper = path.join(work, 'host-wrapper.sh');
  const q = (s) => `'${s.replace(/'/g, `'\\''`)}'`;
  fs.writeFileSync(wrapper, [
    '#!/bin/sh',
    `printf '%s %s\\n' "$(date +%T.%N)" "$*" >> ${q(path.join(work, 'host-starts.log'))}`,
    // LUMICLIP_HOST_WINEDEBUG=+process,... traces the host into host-stderr.log.
    `export WINEPREFIX=${q(prefix)} WINEDEBUG=${q(process.env.LUMICLIP_HOST_WINEDEBUG || '-all')}`,
    'unset DISPLAY',
    `exec ${q(wine)} ${q(path.join(snap, 'lumiclip-launcher.exe'))} ${q(winExe)} "$@" 2>> ${q(path.join(work, 'host-stderr.log'))}`,
    '',
  ].join('\n'), { mode: 0o755 });
  fs.writeFileSync(path.join(userData, 'NativeMessagingHosts', `${HOST_NAME}.json`), JSON.stringify({
    name: HOST_NAME,
    description: 'Lumiclip host under wine, for the browser suite',
    path: wrapper,
    type: 'stdio',
    allowed_origins: [ORIGIN],
  }, null, 2));

  // The browser.
  const browserLog = [];
  try {
    context = await chromium.launchPersistentContext(userData, {
      executablePath: chromiumPath,
      headless: true,
      ignoreDefaultArgs: ['--disable-extensions'],
      args: [
        '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync',
        `--load-extension=${extensionDir}`, `--disable-extensions-except=${extensionDir}`,
      ],
      timeout: 60000,
      logger: { isEnabled: (n) => n === 'browser', log: (n, s, m) => browserLog.push(String(m)) },
    });
  } catch (e) {
    return setupFailure(`Chromium (${chromiumPath}) could not start`, `${e.message}\n${browserLog.slice(-20).join('\n')}`);
  }
  let worker = context.serviceWorkers().find((w) => w.url().startsWith(ORIGIN));
  if (!worker) {
    try {
      worker = await context.waitForEvent('serviceworker', { timeout: 20000, predicate: (w) => w.url().startsWith('chrome-extension://') });
    } catch {
      return setupFailure('the test extension did not load (no extension service worker appeared)', browserLog.slice(-20).join('\n'));
    }
  }
  if (!worker.url().startsWith(ORIGIN)) {
    return setupFailure(`the extension loaded under ${worker.url()}, not ${ORIGIN}`);
  }
  const page = await context.newPage();
  try {
    await page.goto(`${ORIGIN}test.html`, { timeout: 20000 });
    await page.waitForFunction(() => window.lc && document.getElementById('status').textContent === 'ready', null, { timeout: 10000 });
  } catch (e) {
    const status = await page.textContent('#status').catch(() => '(no page)');
    return setupFailure('the extension page did not come up with chrome.runtime.connectNative', `${e.message}\nstatus: ${status}`);
  }
  say(`setup: Chromium ${context.browser()?.version() ?? ''} with the extension ${EXTENSION_ID} (${elapsed()})`);

  const ext = new Extension(page);
  resync = async () => {
    const s = await ext.summary(0);
    ext.seen = s.total;
    ext.disconnectsSeen = s.disconnects.length;
  };

  await scenario('connect: hostVersion then getDLL', async () => {
    const id = await ext.connectHost();
    const [version, getDll] = await ext.next(2, 40000);
    assert.ok(version.port === id && getDll.port === id, 'messages arrived on another port');
    const s = await ext.summary(0);
    say(`     | first message ${version.at - s.connects.at(-1).at} ms after connectNative`);
    assertMessage(version, { topic: 'hostVersion', data: HOST_VERSION }, 'first message');
    assertMessage(getDll, { topic: 'getDLL' }, 'second message');
    await ext.assertHealthy();
  });

  await scenario('ping: pong', async () => {
    await ext.send({ JSONCommand: 'ping' });
    const [pong] = await ext.next(1);
    assertMessage(pong, { topic: 'pong' }, 'answer to ping');
    await ext.assertHealthy();
  });

  const engine = fs.readFileSync(path.join(snap, 'RAZ.dll'));
  await scenario('setAddonVersion naming Opera, then updateDLL with the sample engine: status 0', async () => {
    // setAddonVersion answers nothing, so the next message must be the status.
    await ext.send({ JSONCommand: 'setAddonVersion', data: 'x Opera y' });
    await ext.send({ JSONCommand: 'updateDLL', data: engine.toString('base64') });
    const [status] = await ext.next(1);
    assertMessage(status, { topic: 'status', code: '0', data: HOST_VERSION }, 'answer to updateDLL');
    const names = engineIn(deployed);
    assert.equal(names.length, 1, `engine files in the deployment folder: ${JSON.stringify(names)}`);
    assert.ok(fs.readFileSync(path.join(deployed, names[0])).equals(engine), 'the deployed engine differs from the one sent');
    await ext.assertHealthy();
  });

  const echoText = 'héllo "x" \\ €😀';
  await scenario('echo through the engine: exact text back', async () => {
    await ext.send({ JSONFunction: 'echo', data: echoText });
    const [echo] = await ext.next(1);
    assertMessage(echo, { topic: 'echo', data: echoText }, 'echo topic');
    await ext.assertHealthy();
  });

  await scenario('state: the engine started for Opera (browserId 6) with the setAddonVersion replayed', async () => {
    await ext.send({ JSONFunction: 'state' });
    const [state] = await ext.next(1);
    assert.equal(state.parseError, null, `state message is not JSON: ${state.raw}`);
    assert.equal(state.parsed.topic, 'state', `got ${state.raw}`);
    let data;
    try {
      data = JSON.parse(state.parsed.data);
    } catch (e) {
      assert.fail(`state data is not JSON (${e.message}): ${state.parsed.data}`);
    }
    assert.equal(data.browserId, 6, `browserId: ${state.parsed.data}`);
    let replayed;
    try {
      replayed = JSON.parse(data.addonVersion);
    } catch (e) {
      assert.fail(`replayed setAddonVersion is not the request (${e.message}): ${data.addonVersion}`);
    }
    assert.deepEqual(replayed, { JSONCommand: 'setAddonVersion', data: 'x Opera y' }, 'replayed request');
    // One load; the replay is call 1, echo call 2, this call 3, not nested.
    assert.equal(data.loads, 1, `loads: ${state.parsed.data}`);
    assert.equal(data.calls, 3, `calls: ${state.parsed.data}`);
    assert.equal(data.depth, 1, `depth: ${state.parsed.data}`);
    await ext.assertHealthy();
  });

  await scenario('big topic of 3 MiB (mixed): whole and identical, port still usable', async () => {
    const size = 3 * 1024 * 1024;
    const expected = sampleBigText(size, 'mixed');
    assert.equal(Buffer.byteLength(expected, 'utf8'), size, 'the JS generator itself');
    await ext.send({ JSONFunction: 'big', size, pattern: 'mixed' });
    const [big] = await ext.next(1, 45000);
    assert.equal(big.parseError, null, `big message is not JSON: ${big.parseError}`);
    assert.equal(big.topic, 'big', `topic of the big message: ${big.topic}`);
    const { parsed } = await ext.full(big.index);
    const got = parsed.data;
    if (got !== expected) {
      let i = 0;
      while (i < got.length && i < expected.length && got[i] === expected[i]) i++;
      assert.fail(`data differs: ${got.length} chars, expected ${expected.length}; first difference at ${i}: ` +
        `got ${JSON.stringify(got.slice(i, i + 40))}, expected ${JSON.stringify(expected.slice(i, i + 40))}`);
    }
    assert.ok(big.frames >= 5, `a 3 MiB message came in only ${big.frames} frames`);
    assert.ok(big.maxChunkBytes <= MAX_CHUNK_BYTES, `a chunk of ${big.maxChunkBytes} bytes (limit ${MAX_CHUNK_BYTES})`);
    await ext.assertHealthy();
    await ext.send({ JSONCommand: 'ping' });
    const [pong] = await ext.next(1);
    assertMessage(pong, { topic: 'pong' }, 'ping after the big message');
    await ext.assertHealthy();
  });

  await scenario('updateNative: port closes, the staged host hands over, a new connection gets the new host', async () => {
    const staged = path.join(deployed, '.staged');
    const stagedLog = path.join(staged, 'native-lumiclip.log');
    const exeBefore = fs.statSync(deployedExe);
    const hostExe = fs.readFileSync(path.join(snap, EXE));
    await ext.send({ JSONCommand: 'updateNative', data: hostExe.toString('base64') });
    const gone = await ext.waitDisconnect(30000);
    assert.ok(typeof gone.error === 'string' && gone.error.length > 0, `disconnect without lastError: ${JSON.stringify(gone)}`);
    say(`     | disconnect after updateNative: lastError "${gone.error}"`);
    assert.equal(gone.pendingFrames, 0, 'the port closed in the middle of a message');
    const after = await ext.summary();
    assert.equal(after.total, ext.seen, `messages before the disconnect: ${describe(after)}`);

    const deadline = Date.now() + 30000;
    while (!/^Exit$/m.test(readLog(stagedLog)) && Date.now() < deadline) await sleep(200);
    const log = readLog(stagedLog);
    assert.ok(/^Exit$/m.test(log), `the staged host did not finish within 30 s; its log:\n${log}`);
    assert.ok(/The parent process has closed!/.test(log), `the staged host did not see its parent close:\n${log}`);
    assert.ok(!/\*\*\*\* Error/.test(log), `the hand-over logged an error:\n${log}`);
    assert.ok(fs.readFileSync(path.join(staged, EXE)).equals(hostExe), 'the staged host differs from the one sent');
    // Same bytes as before, so the copy shows in the change time.
    const exeAfter = fs.statSync(deployedExe);
    assert.ok(exeAfter.ctimeMs > exeBefore.ctimeMs, 'the deployed host was not rewritten');
    assert.ok(fs.readFileSync(deployedExe).equals(hostExe), 'the deployed host differs from the one sent');
    checkDeployedManifest();
    assert.deepEqual(engineIn(deployed), [], 'the engine is still in the deployment folder after the hand-over');

    const id = await ext.connectHost();
    const [version, getDll] = await ext.next(2, 40000);
    assert.ok(version.port === id && getDll.port === id, 'messages arrived on the old port');
    assertMessage(version, { topic: 'hostVersion', data: HOST_VERSION }, 'first message from the new host');
    assertMessage(getDll, { topic: 'getDLL' }, 'second message from the new host');
    await ext.send({ JSONCommand: 'ping' });
    const [pong] = await ext.next(1);
    assertMessage(pong, { topic: 'pong' }, 'ping to the new host');
    await ext.assertHealthy();
  });

  // Let the host see its input end while the prefix is still up.
  await page.evaluate(() => lc.disconnect()).catch(() => {});
  return results.every((r) => r.ok);
}

let ok = false;
const interrupted = async () => {
  say('interrupted');
  await cleanup();
  process.exit(130);
};
process.on('SIGINT', interrupted);
process.on('SIGTERM', interrupted);
try {
  ok = await main();
} catch (e) {
  say(`FAIL suite aborted: ${e && e.stack ? e.stack : e}`);
  ok = false;
}
await cleanup();
const passed = results.filter((r) => r.ok).length;
say(`browser suite: ${passed}/${results.length} scenarios passed${setupFailed ? ', setup failed' : ''}, ` +
  `${ok ? 'PASS' : 'FAIL'} in ${elapsed()}`);
process.exit(ok ? 0 : 1);
