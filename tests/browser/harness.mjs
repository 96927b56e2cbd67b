// Real processes for the browser tests: the gateway and the test game server
// in a temporary home on loopback ports chosen at run time, and Debian's
// Chromium driven by playwright-core. Every wait has a bound.
import { spawn } from 'node:child_process';
import fs from 'node:fs/promises';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const gatewayBin = process.env.TAVRELH5_BIN ?? path.join(root, 'build/release/tavrelh5');
export const gamesimBin = process.env.TAVREL_GAMESIM_BIN ?? path.join(root, 'build/release/tavrel-gamesim');
const chromiumBin = process.env.CHROMIUM_BIN ?? '/usr/bin/chromium';
// Screenshots the tests take for a person to look at; never compared.
const screenshotDir = process.env.TAVREL_SCREENSHOTS ?? path.join(root, 'build/browser-screenshots');

export async function screenshot(page, name, { fullPage = true } = {}) {
  await fs.mkdir(screenshotDir, { recursive: true });
  await page.screenshot({ path: path.join(screenshotDir, name), fullPage });
}

const running = new Set();
process.on('exit', () => {
  for (const child of running) child.kill('SIGKILL');
});

export async function freePort() {
  const server = net.createServer();
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', resolve);
  });
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

export async function tempHome(name) {
  return fs.mkdtemp(path.join(os.tmpdir(), `tavrel-${name}-`));
}

export async function waitUntil(check, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 25));
  }
}

// A child process whose standard output is kept as lines.
export class TProcess {
  constructor(bin, args, cwd) {
    this.lines = [];
    this.child = spawn(bin, args, { cwd, stdio: ['pipe', 'pipe', 'pipe'] });
    running.add(this.child);
    // 'close' rather than 'exit': it comes once the output is read to its end,
    // so a caller that reads `lines` after the exit sees the last ones.
    this.exited = new Promise((resolve) => {
      this.child.once('close', (code, signal) => {
        running.delete(this.child);
        resolve({ code, signal });
      });
    });
    this.exitCode = undefined;
    this.exited.then(({ code }) => { this.exitCode = code; });
    let rest = '';
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (chunk) => {
      const parts = (rest + chunk).split('\n');
      rest = parts.pop();
      this.lines.push(...parts);
    });
    this.child.stdout.on('end', () => { if (rest) this.lines.push(rest); });
    this.stderr = '';
    this.child.stderr.setEncoding('utf8');
    this.child.stderr.on('data', (chunk) => { this.stderr += chunk; });
  }

  get running() {
    return this.exitCode === undefined;
  }

  waitForLine(pattern, timeoutMs = 10000) {
    return waitUntil(() => {
      if (!this.running) throw new Error(`process ended waiting for ${pattern}: ${this.stderr}`);
      return this.lines.find((l) => pattern.test(l));
    }, timeoutMs, String(pattern));
  }

  countLines(pattern) {
    return this.lines.filter((l) => pattern.test(l)).length;
  }

  write(line) {
    this.child.stdin.write(`${line}\n`);
  }

  async stop() {
    if (!this.running) return;
    this.child.kill('SIGTERM');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 3000);
    await this.exited;
    clearTimeout(timer);
  }
}

// The test game server; pacing values low so requests need not wait long.
export async function startGameSim(dir) {
  const sim = new TProcess(gamesimBin, ['--addr', '127.0.0.1', '--port', '0',
    '--speed', '100,100,100,100,100,100,5,0'], dir);
  const line = await sim.waitForLine(/^listening on \d+/);
  sim.port = Number(line.split(' ')[2]);
  return sim;
}

// The gateway in `dir` with its own Tavrel.ini, `sections` adding more
// ({ Resume: { GraceSeconds: 30 } }); resolves once the console is up (or,
// with `expectConsole` false, at once: the test waits for what it expects).
export async function startGateway(dir, {
  serverPort, console: consoleKeys = {}, expectConsole = true, sections = {},
} = {}) {
  const gatePort = await freePort();
  const consolePort = await freePort();
  const keys = { Port: consolePort, ...consoleKeys };
  const section = (name, values) => [`[${name}]`, ...Object.entries(values).map(([k, v]) => `${k}=${v}`)];
  const ini = [
    '[Tavrel]', `GatePort=${gatePort}`, 'ServerAddr=127.0.0.1', `ServerPort=${serverPort ?? await freePort()}`,
    '[Listen]', 'Addr=127.0.0.1',
    ...section('Console', keys),
    ...Object.entries(sections).flatMap(([name, values]) => section(name, values)),
    '',
  ].join('\n');
  await fs.writeFile(path.join(dir, 'Tavrel.ini'), ini);
  const gateway = new TProcess(gatewayBin, [], dir);
  gateway.gatePort = gatePort;
  gateway.consolePort = consolePort;
  gateway.iniPath = path.join(dir, 'Tavrel.ini');
  gateway.consoleUrl = `http://127.0.0.1:${consolePort}`;
  if (expectConsole) {
    // The console URL as the main log tells it: with the token made at start
    // when Tavrel.ini sets none.
    const line = await gateway.waitForLine(/Console http:\/\//);
    gateway.token = line.match(/\?token=([0-9a-f]+)$/)?.[1] ?? keys.Token;
    gateway.pageUrl = `${gateway.consoleUrl}/?token=${gateway.token}`;
    gateway.auth = { Authorization: `Bearer ${gateway.token}` };
  }
  return gateway;
}

export function launchBrowser() {
  return chromium.launch({
    executablePath: chromiumBin,
    headless: true,
    timeout: 30000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run'],
  });
}

// The demo page of the console at `consoleUrl` (with `query`), once it has
// the gateway's address.
export async function openDemo(page, consoleUrl, query = '') {
  await page.goto(`${consoleUrl}/demo/${query}`);
  await page.waitForFunction(() => document.getElementById('gateUrl').value.startsWith('ws://'));
}

// Logs in on an open demo page and waits until the page says so.
export async function demoLogin(page, account, userId) {
  await page.locator('#account').fill(account);
  await page.locator('#userId').fill(userId);
  await page.locator('#connect').click();
  await page.getByText(`Logged in as ${account}/Hero/${userId}`).waitFor();
}

// A plain HTTP request, with whatever headers a browser would not send.
export function request(url, { method = 'GET', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers, timeout: 5000 }, (res) => {
      let data = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => {
        data += chunk;
        // An event stream never ends by itself: its head is enough.
        if (res.headers['content-type']?.startsWith('text/event-stream')) res.destroy();
      });
      res.on('close', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    });
    req.on('timeout', () => req.destroy(new Error(`${method} ${url}: timed out`)));
    req.on('error', reject);
    if (body !== undefined) req.write(body);
    req.end();
  });
}

// Opens browser clients in `page` (on the console's origin, so that it can
// load the reference client and the codec tables). Each logs in when given
// an account. Returns the indices of the new clients in window.clients.
export async function openClients(page, gatePort, accounts) {
  return page.evaluate(async ({ url, accounts: list }) => {
    const m = await import('/client/tavrel-client.js');
    const codec = new m.TCodec(await m.fetchCodecTables(location.href));
    window.clients ??= [];
    const added = [];
    for (const account of list) {
      const client = new m.TGateClient(url, { codec });
      client.closed = false;
      client.addEventListener('close', () => { client.closed = true; });
      await client.connect();
      if (account) client.login(account, `${account}-name`, `${account}-id`);
      added.push(window.clients.push(client) - 1);
    }
    return added;
  }, { url: `ws://127.0.0.1:${gatePort}/`, accounts });
}

// A game server, a gateway linked to it and a browser with two pages: `page`
// for the console (not opened yet) and `clients` on the demo page, from which
// tests open browser clients. stop() ends it all and removes the home.
export async function startConsoleRig(name, { viewport } = {}) {
  const rig = { home: await tempHome(name) };
  rig.stop = async () => {
    await rig.browser?.close();
    await rig.gateway?.stop();
    await rig.sim?.stop();
    await fs.rm(rig.home, { recursive: true, force: true });
  };
  try {
    rig.sim = await startGameSim(rig.home);
    rig.gateway = await startGateway(rig.home, { serverPort: rig.sim.port });
    rig.browser = await launchBrowser();
    rig.page = await rig.browser.newPage(viewport ? { viewport } : {});
    rig.page.setDefaultTimeout(10000);
    rig.clients = await rig.browser.newPage();
    await rig.clients.goto(`${rig.gateway.consoleUrl}/demo/`);
    return rig;
  } catch (err) {
    await rig.stop();
    throw err;
  }
}
