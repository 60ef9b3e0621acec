// End to end in a real headless Chromium: a bank page served on localhost
// calls the component through the generated extension and the built native
// host, and pages from other origins get nothing.
//
//   node browser_test.mjs --host PATH/quenta-nmhost --make-extension PATH/make-extension.sh \
//        [--keytool PATH/quenta-keytool]
//
// With an X display ($DISPLAY, e.g. under xvfb-run), xdotool and the key
// tool, a page also signs an order in the real sign dialog the host opens:
// the password is typed with synthesised input, first a wrong one, then the
// right one, and openssl verifies the signature. Without them that case is
// skipped. QUENTA_SHOT=file.png saves a screenshot when that case fails.
// Exit status 0 when every case passed, 1 when one failed, 77 when no
// Chromium is installed. CHROMIUM=/path/to/chromium picks another browser.
import { spawn, execFile, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const HOST_NAME = 'norvale.quenta.sign';
const SKIP = 77;

function option(name) {
  const i = process.argv.indexOf(name);
  if (i < 0 || i + 1 >= process.argv.length) throw new Error(`missing ${name}`);
  return path.resolve(process.argv[i + 1]);
}

function findChromium() {
  const candidates = process.env.CHROMIUM ? [process.env.CHROMIUM]
                                          : ['/usr/bin/chromium', '/usr/bin/chromium-browser'];
  return candidates.find((c) => fs.existsSync(c));
}

const hex = (text) => Buffer.from(text, 'utf8').toString('hex').toUpperCase();

// ------------------------------------------------------------ page servers

const BANK_PAGE = `<!doctype html>
<html><head><meta charset="utf-8"><title>Bank</title>
<script>
  // What a page script sees before anything else has run.
  window.seenAtStart = typeof window.QuentaSign;
  window.events = [];
  window.componentWKPEvent = function () { window.events.push(Array.from(arguments)); };
</script></head><body>Bank</body></html>`;

function startServer() {
  return new Promise((resolve, reject) => {
    const server = http.createServer((req, res) => {
      res.writeHead(200, { 'content-type': 'text/html; charset=utf-8', 'cache-control': 'no-store' });
      res.end(BANK_PAGE);
    });
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

// ------------------------------------------------------------ DevTools over a pipe

class Browser {
  constructor(executable, userDataDir, extensionDir, env) {
    this.next = 1;
    this.waiting = new Map();
    this.listeners = [];
    this.buffer = '';
    this.child = spawn(executable, [
      '--headless=new', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run',
      '--no-default-browser-check', '--remote-debugging-pipe',
      `--user-data-dir=${userDataDir}`, `--load-extension=${extensionDir}`,
      `--disable-extensions-except=${extensionDir}`, 'about:blank',
    ], { env, stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
    this.log = '';
    this.child.stderr.on('data', (d) => { this.log += d; });
    this.child.stdio[4].on('data', (d) => this.receive(d));
    this.exited = new Promise((resolve) => this.child.on('exit', resolve));
  }

  receive(data) {
    this.buffer += data.toString('utf8');
    let end;
    while ((end = this.buffer.indexOf('\0')) >= 0) {
      const message = JSON.parse(this.buffer.slice(0, end));
      this.buffer = this.buffer.slice(end + 1);
      if (message.id && this.waiting.has(message.id)) {
        const { resolve, reject } = this.waiting.get(message.id);
        this.waiting.delete(message.id);
        if (message.error) reject(new Error(`${message.error.message}`));
        else resolve(message.result);
      } else {
        for (const l of this.listeners) l(message);
      }
    }
  }

  send(method, params = {}, sessionId = undefined) {
    const id = this.next++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    this.child.stdio[3].write(JSON.stringify(message) + '\0');
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject }));
  }

  waitFor(predicate, what, ms = 20000) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.listeners = this.listeners.filter((l) => l !== listener);
        reject(new Error(`timed out waiting for ${what}`));
      }, ms);
      const listener = (m) => {
        if (!predicate(m)) return;
        clearTimeout(timer);
        this.listeners = this.listeners.filter((l) => l !== listener);
        resolve(m);
      };
      this.listeners.push(listener);
    });
  }

  async close() {
    try {
      await Promise.race([this.send('Browser.close'), new Promise((r) => setTimeout(r, 5000))]);
    } catch (e) { /* already gone */ }
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 5000);
    await this.exited;
    clearTimeout(timer);
  }
}

class Page {
  constructor(browser, sessionId) {
    this.browser = browser;
    this.sessionId = sessionId;
    this.contexts = [];
  }

  static async open(browser, url) {
    const { targetId } = await browser.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await browser.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(browser, sessionId);
    page.targetId = targetId;
    browser.listeners.push((m) => {
      if (m.sessionId === sessionId && m.method === 'Runtime.executionContextCreated')
        page.contexts.push(m.params.context);
    });
    await browser.send('Page.enable', {}, sessionId);
    await browser.send('Runtime.enable', {}, sessionId);
    const loaded = browser.waitFor(
        (m) => m.sessionId === sessionId && m.method === 'Page.loadEventFired', `load of ${url}`);
    await browser.send('Page.navigate', { url }, sessionId);
    await loaded;
    return page;
  }

  // Evaluates an expression in the page (awaiting a promise) and gives its
  // value, or {threw: message} when it throws or rejects.
  async eval(expression) {
    const r = await this.browser.send('Runtime.evaluate', {
      expression, awaitPromise: true, returnByValue: true,
    }, this.sessionId);
    if (r.exceptionDetails) {
      const e = r.exceptionDetails.exception;
      return { threw: (e && (e.description || e.value)) || r.exceptionDetails.text };
    }
    return r.result.value;
  }

  // The component call as a page writes it: `await QuentaSign.Method(...)`.
  call(method, ...args) {
    const list = args.map((a) => (a === undefined ? 'undefined' : JSON.stringify(a))).join(', ');
    return this.eval(`(async () => {
      const r = await window.QuentaSign.${method}(${list});
      return r === undefined ? {undefined: true} : r;
    })()`);
  }

  // Execution contexts a content script of the extension runs in.
  extensionContexts() {
    return this.contexts.filter((c) => c.auxData && c.auxData.type === 'isolated');
  }

  async close() {
    await this.browser.send('Target.closeTarget', { targetId: this.targetId });
  }
}

// ------------------------------------------------------------ checks

let passed = 0;
let failed = 0;

function same(actual, expected) {
  return JSON.stringify(actual) === JSON.stringify(expected);
}

function expect(what, actual, expected) {
  if (same(actual, expected)) return true;
  throw new Error(`${what}: got ${JSON.stringify(actual)}, expected ${JSON.stringify(expected)}`);
}

function expectThrows(what, actual, pattern) {
  if (actual && typeof actual.threw === 'string' && pattern.test(actual.threw)) return true;
  throw new Error(`${what}: expected a rejection matching ${pattern}, got ${JSON.stringify(actual)}`);
}

async function runCase(name, body) {
  try {
    await body();
    passed++;
    console.log(`ok   ${name}`);
  } catch (e) {
    failed++;
    console.log(`FAIL ${name}\n     ${e.message}`);
  }
}

// ------------------------------------------------------------ the sign dialog

const run = promisify(execFile);

function haveXdotool() {
  try {
    execFileSync('xdotool', ['version'], { stdio: 'ignore', timeout: 10000 });
    return true;
  } catch (e) {
    return false;
  }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Rejects when the promise has not settled in time.
function within(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// Answers a window the way a person would: waits for it, puts the pointer
// on it (no window manager: keyboard focus follows the pointer), types the
// text if any and presses Return.
async function answer(title, text) {
  const { stdout } = await run('timeout', ['30', 'xdotool', 'search', '--sync', '--onlyvisible',
                                           '--name', title], { timeout: 40000 });
  const window = stdout.split('\n').filter(Boolean)[0];
  if (!window) throw new Error(`no window ${title}`);
  await sleep(500);
  const geometry = (await run('xdotool', ['getwindowgeometry', '--shell', window],
                              { timeout: 10000 })).stdout;
  const value = (name) => Number((new RegExp(`^${name}=(\\d+)`, 'm').exec(geometry) || [])[1]);
  const [x, y, width] = [value('X'), value('Y'), value('WIDTH')];
  if ([x, y, width].some(Number.isNaN)) throw new Error(`no geometry for ${title}: ${geometry}`);
  await run('xdotool', ['mousemove', String(x + Math.floor(width / 2)), String(y + 20)],
            { timeout: 10000 });
  await sleep(300);
  if (text) await run('xdotool', ['type', '--delay', '40', text], { timeout: 30000 });
  await run('xdotool', ['key', 'Return'], { timeout: 10000 });
}

// Waits until no window with this name is shown.
async function gone(title) {
  for (;;) {
    try {
      await run('xdotool', ['search', '--onlyvisible', '--name', title], { timeout: 10000 });
    } catch (e) {
      if (e.code === 1) return;  // nothing found
      throw e;
    }
    await sleep(200);
  }
}

// The names of the windows shown, for a failure message.
async function windowNames() {
  try {
    const { stdout } = await run('xdotool', ['search', '--onlyvisible', '--name', '.'], { timeout: 10000 });
    const names = [];
    for (const w of stdout.split('\n').filter(Boolean))
      names.push(JSON.stringify((await run('xdotool', ['getwindowname', w], { timeout: 10000 })).stdout.trim()));
    return names.join(', ') || 'none';
  } catch (e) {
    return 'none';
  }
}

// Ends host processes the browser started (looked up by parentage and by
// their executable), for a case that failed with a dialog still open.
function killHosts(browserPid, hostExe) {
  const parents = new Map();
  const hosts = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      parents.set(Number(entry), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
      if (fs.readlinkSync(`/proc/${entry}/exe`) === fs.realpathSync(hostExe)) hosts.push(Number(entry));
    } catch (e) { /* gone meanwhile */ }
  }
  for (const pid of hosts) {
    for (let p = parents.get(pid); p && p > 1; p = parents.get(p)) {
      if (p === browserPid) {
        try { process.kill(pid, 'SIGKILL'); } catch (e) { /* gone */ }
        break;
      }
    }
  }
}

async function signCase(browser, url, T, dirs, keytool) {
  const PASSWORD = 'tajne-haslo-1';
  // A reader component registered for the machine, as the signing requires.
  fs.mkdirSync(`${dirs.xdg}/norvale/smartcard`, { recursive: true });
  fs.writeFileSync(`${dirs.xdg}/norvale/smartcard/components.conf`, 'GemPCKey USB=1\n');

  const keyPem = `${T}/key.pem`;
  const pubPem = `${T}/pub.pem`;
  execFileSync('openssl', ['genrsa', '-out', keyPem, '2048'], { stdio: 'ignore' });
  execFileSync('openssl', ['rsa', '-in', keyPem, '-pubout', '-out', pubPem], { stdio: 'ignore' });
  const keyHex = execFileSync(keytool, ['wrap', '--in', keyPem, '--hex'], {
    env: Object.assign({}, process.env, { QUENTA_KEY_PASSWORD: PASSWORD }),
  }).toString('utf8').trim();
  if (!/^[0-9A-Fa-f]+$/.test(keyHex)) throw new Error(`keytool gave no hex key: ${keyHex.slice(0, 80)}`);

  const order = Buffer.from('_ZLECENIE_|1:Kwota:1 250,00 PLN|2:Odbiorca:Jan Kowalski|' +
                            '3:Tytul:Faktura 7/2026|', 'utf8');
  const orderHex = order.toString('hex').toUpperCase();

  const p = await Page.open(browser, url);
  try {
    expect('SetLanguage(1)', await p.call('SetLanguage', 1), { undefined: true });
    expect('SetKey', await p.call('SetKey', 'K1', hex('Main key'), keyHex, 0), '0');
    expect('SetSignDialogType(2)', await p.call('SetSignDialogType', 2), '0');

    const sign = () => p.eval(`(async () => {
      window.events = [];
      const result = await window.QuentaSign.Sign('|K1|', 'K1', ${JSON.stringify(orderHex)});
      return { result, events: window.events };
    })()`);

    // A wrong password: the page hears of it through componentWKPEvent, the
    // error box is dismissed and the sign dialog asks again; the right
    // password then signs.
    const signing = sign();
    await within(answer('^Sign order$', 'zle-haslo'), 60000, 'the sign dialog');
    await within(answer('^Quenta Sign$', null), 60000, 'the wrong-password message');
    await within(gone('^Quenta Sign$'), 60000, 'the wrong-password message to close');
    await within(answer('^Sign order$', PASSWORD), 60000, 'the sign dialog asking again');
    const r = await within(signing, 60000, 'the Sign result');
    expect('componentWKPEvent for the wrong password', r.events, [['', 'K1', 'Main key', '1']]);
    const m = /^0\|K1\|([0-9A-F]+)$/.exec(r.result);
    if (!m) throw new Error(`Sign with the right password: got ${JSON.stringify(r.result)}`);
    const signature = Buffer.from(m[1], 'hex');
    expect('signature length', signature.length, 256);
    fs.writeFileSync(`${T}/sig.bin`, signature);
    fs.writeFileSync(`${T}/order.bin`, order);
    let verified;
    try {
      verified = execFileSync('openssl', ['dgst', '-sha256', '-verify', pubPem, '-signature',
                                          `${T}/sig.bin`, `${T}/order.bin`]).toString('utf8').trim();
    } catch (e) {
      throw new Error(`openssl does not verify the signature: ${e.stdout || ''}${e.stderr || ''}`);
    }
    expect('openssl', verified, 'Verified OK');
  } finally {
    await p.close();
  }
}

// ------------------------------------------------------------ main

async function main() {
  const chromium = findChromium();
  if (!chromium) {
    console.log('chromium is not installed: skipped');
    return SKIP;
  }
  const hostExe = option('--host');
  const makeExtension = option('--make-extension');
  const keytool = process.argv.includes('--keytool') ? option('--keytool') : null;

  const T = fs.mkdtempSync(path.join(os.tmpdir(), 'quenta-browser-'));
  const dirs = { home: `${T}/home`, profile: `${T}/profile`, config: `${T}/config`, xdg: `${T}/xdg` };
  for (const d of Object.values(dirs)) fs.mkdirSync(d, { recursive: true });

  const bank = await startServer();
  const other = await startServer();
  const bankOrigin = `http://localhost:${bank.address().port}`;
  const servers = [bank, other];

  // The extension for an allow-list naming only the bank's origin, and the
  // host manifest for the built host, where Chromium looks with a user data dir.
  execFileSync('sh', [makeExtension, '--host', hostExe, bankOrigin, `${T}/ext`], { stdio: 'inherit' });
  const extensionDir = `${T}/ext/chromium`;
  const extensionId = fs.readFileSync(`${T}/ext/extension-id`, 'utf8').trim();
  const manifestDir = `${dirs.profile}/NativeMessagingHosts`;
  fs.mkdirSync(manifestDir, { recursive: true });
  const manifestPath = `${manifestDir}/${HOST_NAME}.json`;
  const realManifest = fs.readFileSync(`${T}/ext/native-messaging-hosts/chromium/${HOST_NAME}.json`, 'utf8');
  fs.writeFileSync(manifestPath, realManifest);

  const env = Object.assign({}, process.env, {
    HOME: dirs.home, XDG_CONFIG_HOME: dirs.config, XDG_CONFIG_DIRS: dirs.xdg,
  });
  const browser = new Browser(chromium, dirs.profile, extensionDir, env);
  let status = 1;
  try {
    await browser.send('Target.setDiscoverTargets', { discover: true });
    await browser.waitFor((m) => m.method === 'Target.targetCreated' &&
                                 m.params.targetInfo.type === 'service_worker' &&
                                 m.params.targetInfo.url.startsWith(`chrome-extension://${extensionId}/`),
                          'the extension service worker', 30000);

    const page = await Page.open(browser, `${bankOrigin}/bank.html`);

    await runCase('the bank page has the object before its own scripts run', async () => {
      expect('seen at start', await page.eval('window.seenAtStart'), 'object');
      expect('methods', await page.eval('Object.getOwnPropertyNames(window.QuentaSign).length'), 23);
    });

    await runCase('exact result strings through the extension and the host', async () => {
      const location = '/home/jan/klucze/k1.prv';
      const polish = '/home/jan/za\u017c\u00f3\u0142\u0107.prv';
      const steps = [
        [['TestComponent'], 'OK|1,3,0,85'],
        [['TestComponent', 1, 2, 3], 'OK|1,3,0,85'],
        [['SetKey', 'K1', hex('Main key'), 'data', 1], '0'],
        [['SetKeyLocation', 'K1', hex(location)], '0'],
        [['GetKeyLocation', 'K1'], `0|${hex(location)}00`],
        [['SetKeyLocation', 'Za\u017c\u00f3\u0142\u0107', hex(polish)], '0'],
        [['GetKeyLocation', 'Za\u017c\u00f3\u0142\u0107'], `0|${hex(polish)}00`],
        [['SetKeyLocation', 'K1', 'XYZ'], '1'],
        [['SetSignDialogType', 7], '0'],
        [['SetLanguage', 1], { undefined: true }],
        [['SetLanguage', undefined], { undefined: true }],
        [['RegisterCert', 1, 2, 3], { undefined: true }],
        [['RemoveKey', 'K1'], '0'],
        [['RemoveKey', 'K1'], '1'],
      ];
      for (const [[method, ...args], expected] of steps)
        expect(`${method}(${args.map((a) => JSON.stringify(a)).join(', ')})`,
               await page.call(method, ...args), expected);
      const saved = fs.readFileSync(`${dirs.config}/norvale/quenta/keys.conf`, 'utf8');
      expect('remembered path in keys.conf', saved.includes(`K1=${location}`), true);
    });

    await runCase('argument mismatches reject the promise', async () => {
      expectThrows('Sign("a", "b", 3)', await page.call('Sign', 'a', 'b', 3), /argument 3 must be a string/);
      expectThrows('SetLanguage()', await page.call('SetLanguage'), /takes 1 argument, 0 given/);
      expectThrows('RemoveKey(undefined)', await page.call('RemoveKey', undefined), /must be a string/);
      expect('still usable', await page.call('TestComponent'), 'OK|1,3,0,85');
    });

    await runCase('each page has an engine of its own', async () => {
      const second = await Page.open(browser, `${bankOrigin}/bank.html`);
      expect('SetKey in the first page', await page.call('SetKey', 'A1', hex('A'), 'd', 1), '0');
      expect('RemoveKey in the second page', await second.call('RemoveKey', 'A1'), '1');
      // Remembered key locations are the user's, shared by all pages.
      expect('GetKeyLocation in the second page', await second.call('GetKeyLocation', 'K1'),
             `0|${hex('/home/jan/klucze/k1.prv')}00`);
      expect('RemoveKey in the first page', await page.call('RemoveKey', 'A1'), '0');
      await second.close();
    });

    await runCase('pages outside the allow-list get nothing', async () => {
      const elsewhere = [`http://127.0.0.1:${bank.address().port}/bank.html`,
                         `http://localhost:${other.address().port}/bank.html`];
      for (const url of elsewhere) {
        const p = await Page.open(browser, url);
        expect(`${url}: object`, await p.eval('typeof window.QuentaSign'), 'undefined');
        expect(`${url}: seen at start`, await p.eval('window.seenAtStart'), 'undefined');
        expect(`${url}: content scripts injected`, p.extensionContexts().length, 0);
        await p.close();
      }
      expect('bank page: content script injected', page.extensionContexts().length > 0, true);
    });

    // The extension's event and restart paths, against a stand-in host.
    const fakeHost = `${T}/fake-host.sh`;
    fs.writeFileSync(fakeHost, `#!/bin/sh\nexec "${process.execPath}" "${HERE}/fake_host.mjs"\n`);
    fs.chmodSync(fakeHost, 0o755);
    fs.writeFileSync(manifestPath, realManifest.replace(/"path": "[^"]*"/, `"path": "${fakeHost}"`));

    await runCase('componentWKPEvent reaches the page before the result', async () => {
      const p = await Page.open(browser, `${bankOrigin}/bank.html`);
      const r = await p.eval(`(async () => {
        const result = await window.QuentaSign.Sign2('00', 'K1');
        return { result, events: window.events };
      })()`);
      expect('Sign2 with the event', r,
             { result: '9|K1', events: [['', 'K1', 'G\u0142\u00f3wny klucz', '1']] });
      await p.close();
    });

    await runCase('a component that stops rejects the call and is started again', async () => {
      const p = await Page.open(browser, `${bankOrigin}/bank.html`);
      expect('first call', await p.call('TestComponent'), '0');
      expectThrows('call the component dies in', await p.call('ShowKeyboard'), /signing component stopped/);
      expect('next call', await p.call('TestComponent'), '0');
      await p.close();
    });

    fs.writeFileSync(manifestPath, realManifest);

    // Signing in the real sign dialog, which the host opens on $DISPLAY; the
    // password is typed into it with synthesised input.
    const signSkip = !process.env.DISPLAY ? 'no DISPLAY'
                     : !haveXdotool() ? 'no xdotool'
                     : !keytool ? 'no --keytool given' : '';
    if (signSkip) {
      console.log(`skip Sign in the sign dialog (${signSkip})`);
    } else {
      await runCase('Sign in the sign dialog: a wrong password, then the right one', async () => {
        try {
          await signCase(browser, `${bankOrigin}/bank.html`, T, dirs, keytool);
        } catch (e) {
          e.message += `\n     windows on the display: ${await windowNames()}`;
          if (process.env.QUENTA_SHOT) {
            try { execFileSync('import', ['-window', 'root', process.env.QUENTA_SHOT], { timeout: 20000 }); } catch (x) { /* none */ }
          }
          // A dialog left open would keep its host process waiting forever.
          killHosts(browser.child.pid, hostExe);
          throw e;
        }
      });
    }

    status = failed ? 1 : 0;
  } catch (e) {
    console.log(`FAIL ${e.message}`);
    failed++;
    status = 1;
  } finally {
    await browser.close();
    for (const s of servers) s.close();
    if (status !== 0 && browser.log) console.log('--- chromium stderr ---\n' + browser.log.slice(-8000));
    fs.rmSync(T, { recursive: true, force: true });
  }
  console.log(`${passed} passed, ${failed} failed`);
  return status;
}

main().then((code) => process.exit(code), (e) => {
  console.error(e);
  process.exit(1);
});
