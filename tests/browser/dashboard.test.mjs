// The console's dashboard strip in Chromium, against the real gateway, the
// test game server and real browser clients: the link state, the labelled
// figures, the charts fed by the gateway's history, and /metrics checked by
// promtool.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs/promises';
import { after, before, describe, test } from 'node:test';

import { fileURLToPath } from 'node:url';

import {
  openClients, request, screenshot, startConsoleRig,
} from './harness.mjs';

const TEST = { timeout: 60000 };
const grafanaDashboard = fileURLToPath(new URL('../../docs/grafana-dashboard.json', import.meta.url));

// The points a chart draws, per dataset label.
function chartPoints(page, id) {
  return page.evaluate((canvasId) => {
    const chart = window.Chart.getChart(document.getElementById(canvasId));
    return Object.fromEntries(chart.data.datasets.map((d) => [d.label, d.data.map((p) => p.y)]));
  }, id);
}

const sum = (values) => values.reduce((a, b) => a + b, 0);

describe('console dashboard', () => {
  let rig;
  let sim;
  let gateway;
  let browser;
  let page;
  let clients;

  before(async () => {
    rig = await startConsoleRig('dashboard', { viewport: { width: 1280, height: 800 } });
    ({ sim, gateway, browser, page, clients } = rig);
  });

  after(async () => {
    await rig?.stop();
  });

  test('the strip shows the link and the labelled figures; the status panels name their numbers', TEST, async () => {
    await page.goto(gateway.pageUrl);
    const link = page.locator('#LinkState');
    await page.waitForFunction(() => document.getElementById('LinkState').dataset.state === 'up');
    assert.equal(await page.locator('#LinkText').textContent(), 'Game server: linked');
    assert.equal(await page.locator('#LinkBanner').isHidden(), true);
    // Green, not merely a text.
    assert.equal(await link.evaluate((e) => getComputedStyle(e).backgroundColor), 'rgb(223, 246, 221)');
    const labels = await page.locator('.figure .label').allTextContents();
    assert.deepEqual(labels, ['Connections', 'In game', 'Peak', 'Session records', 'Link queue', 'Client streams']);

    await openClients(clients, gateway.gatePort, ['ann', 'ben', 'cat']);
    await clients.evaluate(() => { for (const c of window.clients) c.loginNoticeOk(); });
    await page.waitForFunction(() => document.getElementById('FigConnections').textContent === '3'
      && document.getElementById('FigInGame').textContent === '3');
    assert.equal(await page.locator('#FigRecords').textContent(), '3');
    // The game server reads: the link queue drains between the figures.
    await page.waitForFunction(() => document.getElementById('FigLinkQueue').textContent === '0 B');

    await page.waitForFunction(() => /^Port:\d+ 3\/3\/3\[3\]/.test(document.getElementById('Panel0').textContent));
    const tip = await page.locator('#Panel0').getAttribute('title');
    assert.match(tip, new RegExp(`^Port:${gateway.gatePort}  WebSocket listening port\\n3  connections open\\n`
      + '3  sessions in game\\n3  peak connections\\n\\[3\\]  session records'));
    assert.match(tip, /MsgLis: \d+\/\d+\/\d+  link queue to the game server/);
    assert.match(await page.locator('#Panel1').getAttribute('title'), /正常运行\.\.\. = connected/);
  });

  test('the charts draw real traffic, and the history survives a reload', TEST, async () => {
    // Traffic both ways: broadcasts from the game server to the players,
    // walks and heartbeats from them, and one client over the address limit.
    const walkAndHear = async () => {
      sim.write('data all msg SM_MERCHANTSAY 0 0 0 0 hello-everyone');
      // Only the three logged in: a heartbeat in place of a login text is refused.
      await clients.evaluate(() => { for (const c of window.clients.slice(0, 3)) c.heartbeat(); });
    };
    await openClients(clients, gateway.gatePort, [null]);
    // The fifth of one address is closed before its greeting.
    await assert.rejects(openClients(clients, gateway.gatePort, [null]), /connection closed/);
    const deadline = Date.now() + 20000;
    let points;
    for (;;) {
      await walkAndHear();
      await new Promise((resolve) => setTimeout(resolve, 500));
      const messages = await chartPoints(page, 'ChartMessages');
      const refusals = await chartPoints(page, 'ChartRefusals');
      // Three samples at least, for a screenshot that shows lines.
      if (sum(messages['from clients']) > 0 && sum(messages['to clients']) > 0
        && sum(refusals['address limit']) > 0 && messages['from clients'].length >= 3) {
        points = { messages, refusals };
        break;
      }
      if (Date.now() > deadline) throw new Error(`no traffic in the charts: ${JSON.stringify({ messages, refusals })}`);
    }
    const connections = await chartPoints(page, 'ChartConnections');
    assert.ok(connections.connections.includes(4), JSON.stringify(connections));
    assert.ok(connections['in game'].includes(3), JSON.stringify(connections));
    const bytes = await chartPoints(page, 'ChartBytes');
    assert.ok(Math.max(...bytes['to clients']) > 0, JSON.stringify(bytes));
    assert.ok(Math.max(...bytes['from clients']) > 0, JSON.stringify(bytes));
    assert.equal(sum(points.refusals['no free record']), 0);
    // Every walk and heartbeat waited a little inside the gateway: some p99 shows.
    const dwell = await chartPoints(page, 'ChartDwell');
    assert.ok(Math.max(...dwell['to the game server']) > 0, JSON.stringify(dwell));
    assert.equal(dwell['to clients'].length, dwell['to the game server'].length);
    await screenshot(page, 'dashboard-traffic.png');

    // The gateway keeps the samples: a reloaded page draws them at once.
    const drawn = points.messages['from clients'].length;
    await page.reload();
    await page.waitForFunction((n) => {
      const chart = window.Chart.getChart(document.getElementById('ChartMessages'));
      return chart.data.datasets[0].data.length >= n;
    }, drawn, { timeout: 3000 });
    const history = JSON.parse((await request(`${gateway.consoleUrl}/api/dashboard`, { headers: gateway.auth })).body);
    assert.equal(history.intervalMs, 5000);
    assert.ok(history.samples.length >= drawn);
  });

  test('/metrics passes promtool and counts what the dashboard showed', TEST, async (t) => {
    const metrics = (await request(`${gateway.consoleUrl}/metrics`)).body;
    assert.match(metrics, /\ntavrel_connections_accepted_total 4\n/);
    assert.match(metrics, /\ntavrel_refused_connections_total\{reason="address_limit"\} 1\n/);
    assert.match(metrics, /\ntavrel_build_info\{protocol_version="1\.3",[^}]*\} 1\n/);
    assert.match(metrics, /\nprocess_open_fds \d+\n/);
    // The Grafana dashboard in docs/ asks only for metrics the gateway has.
    const panels = JSON.parse(await fs.readFile(grafanaDashboard, 'utf8')).panels;
    const asked = new Set(panels.flatMap((p) => p.targets.map((q) => q.expr))
      .flatMap((expr) => expr.match(/\b(tavrel|process)_[a-z_]+/g)));
    assert.ok(asked.size >= 20, [...asked].join(' '));
    for (const name of asked) assert.match(metrics, new RegExp(`\n# TYPE ${name} `), name);
    const promtool = spawnSync('promtool', ['check', 'metrics'], { input: metrics, encoding: 'utf8' });
    if (promtool.error?.code === 'ENOENT') {
      t.skip('promtool is not installed (Debian package prometheus)');
      return;
    }
    assert.equal(promtool.status, 0, `${promtool.stdout}${promtool.stderr}`);
  });

  test('a link that goes down turns the strip red with a banner', TEST, async () => {
    await sim.stop();
    await page.waitForFunction(() => document.getElementById('LinkState').dataset.state === 'down');
    assert.equal(await page.locator('#LinkText').textContent(), 'Game server: DOWN');
    const banner = page.locator('#LinkBanner');
    await banner.waitFor();
    assert.match(await banner.textContent(), /^Game-server link down since \d\d:\d\d:\d\d \(\d+ s\): nothing reaches the game server/);
    assert.equal(await page.locator('#LinkState').evaluate((e) => getComputedStyle(e).backgroundColor),
      'rgb(253, 231, 233)');
    const metrics = (await request(`${gateway.consoleUrl}/metrics`)).body;
    assert.match(metrics, /\ntavrel_server_link_drops_total 1\n/);
    assert.match(metrics, /\ntavrel_server_link_up 0\n/);
    await screenshot(page, 'dashboard-link-down.png');
  });
});
