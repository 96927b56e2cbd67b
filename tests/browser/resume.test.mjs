// Session resume in Chromium: the demo page drops its connection while the
// test game server keeps sending, and the reference client takes the session
// over again, against the real gateway keeping sessions for 30 s.
import assert from 'node:assert/strict';
import fs from 'node:fs/promises';
import { after, before, describe, test } from 'node:test';

import {
  demoLogin, launchBrowser, openDemo, request, screenshot, startGameSim, startGateway, tempHome, waitUntil,
} from './harness.mjs';

const TEST = { timeout: 90000 };

// The load mode's per-user items in the demo's list, by their number: a text
// line "L<n> ..." or an opaque message (ident 60103) with n in Recog.
function numbered(page) {
  return page.evaluate(() => [...document.querySelectorAll('#messages li.received')].map((li) => {
    if (li.dataset.text) {
      const m = /^← #L(\d+) /.exec(li.textContent);
      return m ? Number(m[1]) : null;
    }
    return li.dataset.ident === '60103' ? Number(li.dataset.recog) : null;
  }).filter((n) => n !== null));
}

async function metric(gateway, pattern) {
  const { body } = await request(`${gateway.consoleUrl}/metrics`);
  return Number(pattern.exec(body)?.[1] ?? NaN);
}

describe('session resume', () => {
  let home;
  let sim;
  let gateway;
  let browser;

  before(async () => {
    home = await tempHome('resume');
    sim = await startGameSim(home);
    gateway = await startGateway(home, { serverPort: sim.port, sections: { Resume: { GraceSeconds: 30 } } });
    browser = await launchBrowser();
  });

  after(async () => {
    await browser?.close();
    await gateway?.stop();
    await sim?.stop();
    if (home) await fs.rm(home, { recursive: true, force: true });
  });

  test('the demo page drops its connection twice while lines flow; none is lost or doubled', TEST, async () => {
    const page = await browser.newPage();
    page.setDefaultTimeout(15000);
    await openDemo(page, gateway.consoleUrl);
    assert.equal(await page.locator('#resume').isChecked(), true);
    await demoLogin(page, 'resumer', 'R-0001');
    await sim.waitForLine(/login .*account="resumer"/);

    // Messages, and text lines of 3000 characters, which the gateway's
    // 2048-byte blocks cut across WebSocket messages.
    sim.write('load rate=20 mix=text:1,opaque:1 text=3000');
    const flowing = async (what) => {
      const seen = (await numbered(page)).length;
      await waitUntil(async () => (await numbered(page)).length >= seen + 15, 10000, what);
    };
    const resumed = async (n) => {
      await page.locator('#messages li[data-event="reconnecting"]').nth(n).waitFor();
      await page.locator('#messages li[data-event="resumed"]').nth(n).waitFor();
    };
    await flowing('lines before the first drop');
    await page.locator('#drop').click();
    await resumed(0);

    // The second drop while the reader holds part of a message, which the
    // replay must complete.
    await flowing('lines before the second drop');
    const held = await page.evaluate(() => new Promise((resolve) => {
      const { reader } = window.demoClient;
      const push = reader.push.bind(reader);
      const timer = setTimeout(() => {
        delete reader.push;
        resolve(0);
      }, 10000);
      reader.push = (chunk) => {
        const items = push(chunk);
        if (reader.buffered > 0) {
          delete reader.push;
          clearTimeout(timer);
          document.getElementById('drop').click();
          resolve(reader.buffered);
        }
        return items;
      };
    }));
    assert.ok(held > 0, 'no moment with part of a message held');
    await resumed(1);
    await flowing('lines after the last resume');

    sim.write('load off');
    sim.write('load stats');
    const stats = await sim.waitForLine(/load sent user=\d+/);
    const total = Number(/user=(\d+)/.exec(stats)[1]);
    await waitUntil(async () => (await numbered(page)).length >= total, 15000, `${total} numbered items`);
    // Anything doubled late would show up by now.
    await new Promise((resolve) => setTimeout(resolve, 300));
    assert.deepEqual(await numbered(page), Array.from({ length: total }, (_, i) => i + 1), stats);
    // The page is too long for one picture: the part around the last resume.
    await page.locator('#messages li[data-event="resumed"]').nth(1).evaluate((li) => li.scrollIntoView({ block: 'center' }));
    await screenshot(page, 'demo-resumed.png', { fullPage: false });

    assert.equal(await page.locator('#messages li[data-event="close"]').count(), 0);
    // One session for the game server all along.
    assert.equal(sim.countLines(/recv GM_OPEN /), 1);
    assert.equal(sim.countLines(/recv GM_CLOSE /), 0);
    assert.equal(await metric(gateway, /\ntavrel_resumes_total\{result="ok"\} (\d+)\n/), 2);

    // Disconnect (close 1000) ends the session at once, not after the grace.
    await page.locator('#disconnect').click();
    await page.locator('#messages li[data-event="close"]').waitFor();
    assert.match(await page.locator('#state').textContent(), /^Closed \(1000/);
    await sim.waitForLine(/recv GM_CLOSE /, 3000);
    await page.close();
  });

  test('the demo page goes through a hand-over (SIGUSR2) without a lost or doubled line', TEST, async () => {
    const page = await browser.newPage();
    page.setDefaultTimeout(15000);
    await openDemo(page, gateway.consoleUrl);
    await demoLogin(page, 'handed', 'H-0001');
    await sim.waitForLine(/login .*account="handed"/);
    // In the game, so that the login timeout does not end it while the test runs.
    await page.locator('#noticeOk').click();
    const opens = sim.countLines(/recv GM_OPEN /);
    const closes = sim.countLines(/recv GM_CLOSE /);
    const links = sim.countLines(/^link \d+ (up|down)/);
    const reconnects = await page.locator('#messages li[data-event="reconnecting"]').count();

    // The game server's counter runs over its whole life: what this session gets is the rest.
    const loadStats = async () => {
      const seen = sim.countLines(/load sent user=\d+/);
      sim.write('load stats');
      await waitUntil(() => sim.countLines(/load sent user=\d+/) > seen, 5000, 'load stats');
      const line = sim.lines.filter((l) => /load sent user=\d+/.test(l)).at(-1);
      return { line, user: Number(/user=(\d+)/.exec(line)[1]) };
    };
    const before = (await loadStats()).user;
    sim.write('load rate=20 mix=text:1,opaque:1 text=3000');
    const flowing = async (what) => {
      const seen = (await numbered(page)).length;
      await waitUntil(async () => (await numbered(page)).length >= seen + 15, 10000, what);
    };
    await flowing('lines before the hand-over');
    const pid = gateway.child.pid;
    gateway.child.kill('SIGUSR2');
    const handed = await gateway.waitForLine(/Handed over: \d+ sessions \(\d+ detached\), link kept, paused \d+ ms/, 15000);
    await page.locator('#messages li[data-event="resumed"]').nth(0).waitFor();
    assert.equal(await page.locator('#messages li[data-event="reconnecting"]').count(), reconnects + 1);
    await flowing('lines after the hand-over');

    sim.write('load off');
    const { line: stats, user } = await loadStats();
    const total = user - before;
    await waitUntil(async () => (await numbered(page)).length >= total, 15000, `${total} numbered items`);
    await new Promise((resolve) => setTimeout(resolve, 300));
    assert.deepEqual(await numbered(page), Array.from({ length: total }, (_, i) => i + 1), `${stats}; ${handed}`);
    await page.locator('#messages li[data-event="resumed"]').nth(0).evaluate((li) => li.scrollIntoView({ block: 'center' }));
    await screenshot(page, 'demo-handed-over.png', { fullPage: false });

    // The same process, the same link, and nothing for the game server to see.
    assert.equal(gateway.child.pid, pid);
    assert.equal(gateway.running, true);
    assert.equal(sim.countLines(/^link \d+ (up|down)/), links);
    assert.equal(sim.countLines(/recv GM_OPEN /), opens);
    assert.equal(sim.countLines(/recv GM_CLOSE /), closes);
    assert.equal(await page.locator('#messages li[data-event="close"]').count(), 0);
    assert.equal(await metric(gateway, /\ntavrel_handovers_total\{result="ok"\} (\d+)\n/), 1);
    await page.locator('#disconnect').click();
    await page.locator('#messages li[data-event="close"]').waitFor();
    await page.close();
  });

  test('a used token offered again is refused: the application hears it, then the close', TEST, async () => {
    const page = await browser.newPage();
    await page.goto(`${gateway.consoleUrl}/demo/`);
    const events = await page.evaluate(async (url) => {
      const m = await import('/client/tavrel-client.js');
      const codec = new m.TCodec(await m.fetchCodecTables(location.href));
      const client = new m.TGateClient(url, { codec, resume: true });
      const seen = [];
      for (const type of ['reconnecting', 'resumed', 'resumerefused', 'close']) {
        client.addEventListener(type, (e) => seen.push([type, type === 'reconnecting' ? e.detail.attempt : e.detail]));
      }
      const next = (type) => new Promise((resolve, reject) => {
        client.addEventListener(type, resolve, { once: true });
        setTimeout(() => reject(new Error(`no ${type} within 15 s: ${JSON.stringify(seen)}`)), 15000);
      });
      await client.connect();
      client.login('refused', 'refused-name', 'refused-id');
      for (let i = 0; i < 100 && !client.resumeToken; i++) await new Promise((resolve) => setTimeout(resolve, 50));
      const used = client.resumeToken;
      if (!used) throw new Error('no resume token after the login');
      const resumed = next('resumed');
      client.dropConnection();
      await resumed;
      if (client.resumeToken === used) throw new Error('the resume brought no new token');
      // A client that kept the token it has just used up.
      client.resumeToken = used;
      const closed = next('close');
      client.dropConnection();
      await closed;
      return seen;
    }, `ws://127.0.0.1:${gateway.gatePort}/`);
    assert.deepEqual(events, [
      ['reconnecting', 1],
      ['resumed', { attempt: 1, received: events[1][1].received }],
      ['reconnecting', 1],
      ['resumerefused', { code: 4007, reason: 'resume refused' }],
      ['close', { code: 4007, reason: 'resume refused' }],
    ]);
    assert.ok(await metric(gateway, /\ntavrel_resumes_total\{result="refused"\} (\d+)\n/) >= 1);
    await page.close();
  });
});
