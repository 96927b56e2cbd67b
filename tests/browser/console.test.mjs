// The operator console and the reference client in Chromium, against the
// real gateway and the test game server on loopback.
import assert from 'node:assert/strict';
import fs from 'node:fs/promises';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';

import {
  demoLogin, launchBrowser, openClients, openDemo, request, screenshot, startConsoleRig, startGateway, tempHome,
  waitUntil,
} from './harness.mjs';

const TEST = { timeout: 60000 };

const clientClosed = (page, i) => page.evaluate((n) => window.clients[n].closed, i);

async function state(gateway) {
  const res = await request(`${gateway.consoleUrl}/api/state`, { headers: gateway.auth });
  assert.equal(res.status, 200);
  return JSON.parse(res.body);
}

async function chooseMenu(page, menu, item, role = 'menuitem') {
  await page.getByRole('menuitem', { name: menu, exact: true }).click();
  await page.getByRole(role, { name: item, exact: true }).click();
}

describe('operator console', () => {
  let rig;
  let sim;
  let gateway;
  let browser;
  let page;     // the console
  let clients;  // browser clients of the gateway

  before(async () => {
    rig = await startConsoleRig('console');
    ({ sim, gateway, browser, page, clients } = rig);
  });

  after(async () => {
    await rig?.stop();
  });

  test('shows the start-up log lines and both status panels within two seconds', TEST, async () => {
    await page.goto(gateway.pageUrl);
    await page.waitForFunction((port) => {
      const log = document.getElementById('MemoLog').value;
      return log.includes(`获得端口 ${port}`) && log.includes('#初始化游戏网关.....')
        && log.includes('Console http://127.0.0.1:');
    }, gateway.gatePort, { timeout: 2000 });
    await page.waitForFunction(() => /^Port:\d+ \d+\/\d+\/\d+\[\d+\] -  MsgLis: \d+\/\d+\/\d+$/
      .test(document.getElementById('Panel0').textContent)
      && document.getElementById('Panel1').textContent === '正常运行...', null, { timeout: 2000 });
    assert.equal(await page.locator('#Caption').textContent(), `TavrelH5 x64[${gateway.gatePort}/0]`);
    assert.equal(await page.title(), `TavrelH5 x64[${gateway.gatePort}/0]`);
    // Menu items without an action do nothing.
    await chooseMenu(page, '控制', '停止服务');
    await chooseMenu(page, '设置', '过滤设置');
    assert.equal(await page.getByRole('dialog').count(), 0);
    assert.ok(gateway.running);
  });

  test('"查看日志" switches the connection lines on and off', TEST, async () => {
    const log = () => page.locator('#MemoLog').inputValue();
    await chooseMenu(page, '查看', '查看日志', 'menuitemcheckbox');
    await waitUntil(async () => (await state(gateway)).showLog, 2000, 'the switch on');
    assert.equal(await page.locator('#N4').getAttribute('aria-checked'), 'true');

    await openClients(clients, gateway.gatePort, [null]);
    await page.waitForFunction(() => {
      const log = document.getElementById('MemoLog').value;
      return /OnWebSocketOpen: \d+ 127\.0\.0\.1\n/.test(log) && /OnWebSocketOpen: \d+(\n|$)/.test(log);
    });

    await chooseMenu(page, '查看', '查看日志', 'menuitemcheckbox');
    await waitUntil(async () => !(await state(gateway)).showLog, 2000, 'the switch off');
    const before = (await log()).split('OnWebSocketOpen').length;
    await openClients(clients, gateway.gatePort, [null]);
    // The status bar counts the new connection a drain of the log later.
    await page.waitForFunction(() => /^Port:\d+ 2\//.test(document.getElementById('Panel0').textContent));
    assert.equal((await log()).split('OnWebSocketOpen').length, before);
    await clients.evaluate(() => { for (const c of window.clients) c.close(); });
  });

  test('double-click on the log asks, and keeps the log on No', TEST, async () => {
    const memo = page.locator('#MemoLog');
    const shown = await memo.inputValue();
    assert.notEqual(shown, '');
    await memo.dblclick();
    const box = page.getByRole('alertdialog', { name: '提示信息' });
    await box.getByText('是否确定清除日志信息?', { exact: true }).waitFor();
    await box.getByRole('button', { name: '否(N)' }).click();
    await box.waitFor({ state: 'hidden' });
    assert.ok((await memo.inputValue()).startsWith(shown));
    assert.ok((await state(gateway)).lines.length > 0);

    await memo.dblclick();
    await box.getByRole('button', { name: '是(Y)' }).click();
    // Every earlier line is gone; what may follow is the audit line of this
    // very request, which the log takes in on its own timer, so it may reach
    // the page before the page has shown the empty log.
    const audit = 'Console request from [^ ]+: POST /api/clearlog -> 200';
    await page.waitForFunction((pattern) => document.getElementById('MemoLog').value.split('\n')
      .every((l) => l === '' || new RegExp(pattern).test(l)), audit);
    const after = (await state(gateway)).lines.filter((l) => !new RegExp(audit).test(l));
    assert.deepEqual(after, []);
  });

  test('the settings dialog saves a new server port and refuses 0 and 65535', TEST, async () => {
    const dialog = page.getByRole('dialog', { name: 'BaseForm' });
    const open = async () => {
      await chooseMenu(page, '设置', '基本设置');
      await dialog.waitFor();
    };
    const ini = () => fs.readFile(gateway.iniPath, 'utf8');
    const save = async () => {
      await dialog.getByRole('button', { name: '设置', exact: true }).click();
      await dialog.waitFor({ state: 'hidden' });
    };

    await open();
    for (const group of ['GateInfo', 'SvrInfo', 'IP设置']) {
      await dialog.getByRole('group', { name: group }).waitFor();
    }
    assert.equal(await page.locator('#SpinGatePort').inputValue(), String(gateway.gatePort));
    assert.equal(await page.locator('#SpinServerPort').inputValue(), String(sim.port));
    assert.equal(await page.locator('#EditServerIP').inputValue(), '127.0.0.1');
    const box = dialog.getByLabel('封速调试器输出开关');
    assert.equal(await box.isChecked(), false);
    await box.check();

    const newPort = sim.port === 65000 ? 65001 : 65000;
    await page.locator('#SpinServerPort').fill(String(newPort));
    await save();
    assert.match(await ini(), new RegExp(`\\nServerPort=${newPort}\\n`));

    for (const refused of ['0', '65535']) {
      await open();
      // The box opens unticked although the switch stays on.
      assert.equal(await box.isChecked(), false);
      assert.equal(await page.locator('#SpinServerPort').inputValue(), String(newPort));
      await page.locator('#SpinGatePort').fill(refused);
      await save();
      assert.match(await ini(), new RegExp(`\\nGatePort=${gateway.gatePort}\\n`));
    }
  });

  test('the settings dialog keeps a connection limit that admits no one, and says why', TEST, async () => {
    const dialog = page.getByRole('dialog', { name: 'BaseForm' });
    await chooseMenu(page, '设置', '基本设置');
    await dialog.waitFor();
    const limit = await page.locator('#SpinEditIPCount').inputValue();
    const box = page.getByRole('alertdialog');
    for (const refused of ['', '1']) {
      await page.locator('#SpinEditIPCount').fill(refused);
      await dialog.getByRole('button', { name: '设置', exact: true }).click();
      await box.waitFor();
      assert.match(await page.locator('#MessageBoxText').textContent(), new RegExp(`IpCount.*stays ${limit}`));
      await box.getByRole('button', { name: '确定' }).click();
      await box.waitFor({ state: 'hidden' });
      assert.match(await fs.readFile(gateway.iniPath, 'utf8'), new RegExp(`\\nIpCount=${limit}\\n`));
    }
    assert.equal(await dialog.isVisible(), true);
    await dialog.getByRole('button', { name: '关闭' }).click();
    await dialog.waitFor({ state: 'hidden' });
  });

  test('the online-users dialog lists logged-in clients and disconnects one only', TEST, async () => {
    const [first, second] = await openClients(clients, gateway.gatePort, ['alice', 'bob']);
    await waitUntil(async () => {
      const users = JSON.parse((await request(`${gateway.consoleUrl}/api/users`, { headers: gateway.auth })).body);
      return users.rows.filter((r) => r.userId).length === 2;
    }, 5000, 'two logins');

    await chooseMenu(page, '查看', '在线列表');
    const dialog = page.getByRole('dialog', { name: '在线用户列表' });
    await dialog.waitFor();
    const headers = await dialog.locator('thead th').allTextContents();
    assert.deepEqual(headers, ['序号', 'IP', '帐号', '角色名', 'UserID', '连接时间', '接收字节', '发送字节']);
    await dialog.getByText('在线人数:2', { exact: true }).waitFor();
    const row = (account) => dialog.locator('tbody tr', { hasText: account });
    for (const account of ['alice', 'bob']) {
      const cells = await row(account).locator('td').allTextContents();
      assert.deepEqual(cells.slice(1, 5), ['127.0.0.1', account, `${account}-name`, `${account}-id`]);
      assert.match(cells[5], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
      // The login text came in; "ok" went out as a text message, not through the stream.
      assert.ok(Number(cells[6]) > 48, `bytes in ${cells[6]}`);
      assert.match(cells[7], /^\d+$/);
    }
    await screenshot(page, 'online-users.png');

    await row('bob').click({ button: 'right' });
    await dialog.getByRole('menuitem', { name: '断开连接' }).click();
    // The run loop closes a marked session 1500 ms after the mark.
    await waitUntil(() => clientClosed(clients, second), 6000, 'bob disconnected');
    await page.waitForFunction(() => /Console disconnect: bob\/bob-name\/bob-id 127\.0\.0\.1 \(connection \d+\) by the operator at 127\.0\.0\.1/
      .test(document.getElementById('MemoLog').value));
    assert.equal(await clientClosed(clients, first), false);

    await waitUntil(async () => {
      await dialog.locator('tbody').click({ button: 'right' });
      await dialog.getByRole('menuitem', { name: '刷新' }).click();
      return (await dialog.locator('tbody tr').count()) === 1;
    }, 5000, 'one row after refreshing');
    assert.equal(await row('alice').count(), 1);
    assert.equal(await clientClosed(clients, first), false);
    await dialog.getByRole('button', { name: '关闭' }).click();
    await clients.evaluate(() => { for (const c of window.clients) c.close(); });
  });

  test('the demo page logs in and shows an inflated JSON message from the game server', TEST, async () => {
    const demo = await browser.newPage();
    await openDemo(demo, gateway.consoleUrl);
    await demoLogin(demo, 'demo1', 'D-0001');
    await sim.waitForLine(/GM_H5DATA.*login .*account="demo1".*uid="D-0001"/);

    await demo.locator('#noticeOk').click();
    await sim.waitForLine(/GM_H5DATA.* ident=1018 /);
    await demo.locator('#walk').click();
    await sim.waitForLine(/GM_H5DATA.* ident=3011 /);
    // The walk holds the next action for the walk interval (100 ms here).
    await new Promise((resolve) => setTimeout(resolve, 250));
    await demo.locator('#spell').click();
    const spell = await sim.waitForLine(/GM_H5DATA.* ident=3017 /);
    assert.match(spell, /recog=\d+ /);
    assert.match(spell, /body="1001"/);

    // The game server's text is GBK ("你好" is C4E3 BAC3); the gateway sends UTF-8.
    const filler = 'x'.repeat(1200);
    const gbk = Buffer.concat([Buffer.from('{"Msg":"'), Buffer.from('C4E3BAC3', 'hex'),
      Buffer.from(`${filler}"}`)]);
    sim.write(`data all msg SM_MERCHANTSAY 0 0 0 0 hex:${gbk.toString('hex')}`);
    const shown = demo.locator('li.received[data-ident="643"]');
    await shown.waitFor();
    assert.equal(await shown.getAttribute('data-zlib'), '1');
    // The name comes from the module's generated ident table.
    assert.match(await shown.textContent(), /^← 643 SM_MERCHANTSAY /);
    assert.equal(await shown.getAttribute('data-json'), 'yes');
    const body = JSON.parse(await shown.locator('pre').textContent());
    assert.equal(body.Msg, `你好${filler}`);

    const metrics = (await request(`${gateway.consoleUrl}/metrics`)).body;
    assert.match(metrics, /\ntavrel_server_link_up 1\n/);
    assert.match(metrics, /\ntavrel_client_messages_total\{kind="walk",result="accepted"\} 1\n/);
    assert.match(metrics, /\ntavrel_client_messages_total\{kind="spell",result="accepted"\} 1\n/);
    await demo.close();
  });

  test('requests from another page or another host name are refused', TEST, async () => {
    const url = gateway.consoleUrl;
    const host = `127.0.0.1:${gateway.consolePort}`;
    const auth = gateway.auth;
    // Without the token nothing changes, whatever the origin.
    assert.equal((await request(`${url}/api/showlog`, {
      method: 'POST', headers: { Origin: `http://${host}` }, body: '{"on":true}',
    })).status, 401);
    // With it, only from the console's own origin.
    assert.equal((await request(`${url}/api/showlog`, {
      method: 'POST', headers: { ...auth, Origin: 'http://evil.example', 'Content-Type': 'application/json' }, body: '{"on":true}',
    })).status, 403);
    assert.equal((await request(`${url}/api/showlog`, { method: 'POST', headers: auth, body: '{"on":true}' })).status, 403);
    assert.equal((await request(`${url}/metrics`, { headers: { Host: `evil.example:${gateway.consolePort}` } })).status, 403);
    assert.equal((await request(`${url}/api/showlog`, {
      method: 'POST', headers: { ...auth, Origin: `http://${host}` }, body: '{"on":false}',
    })).status, 200);

    // A page of another origin in the operator's browser posts a form whose
    // text/plain body reads as JSON (no CORS check stops a form).
    const attacker = http.createServer((req, res) => {
      res.setHeader('Content-Type', 'text/html');
      res.end(`<form method="post" enctype="text/plain" action="${url}/api/showlog">`
        + '<input name=\'{"on":true,"x":"\' value=\'"}\'></form>');
    });
    await new Promise((resolve) => attacker.listen(0, '127.0.0.1', resolve));
    try {
      const other = await browser.newPage();
      await other.goto(`http://127.0.0.1:${attacker.address().port}/`);
      const [answer] = await Promise.all([
        other.waitForNavigation(),
        other.evaluate(() => document.forms[0].submit()),
      ]);
      // Its cookie stays home (SameSite), so the form arrives without the token.
      assert.equal(answer.status(), 401);
      assert.match(await other.content(), /token is missing or wrong/);
      await other.close();
    } finally {
      attacker.close();
    }
    assert.equal((await state(gateway)).showLog, false);
  });

  test('closing asks first and ends the gateway on Yes', TEST, async () => {
    const box = page.getByRole('alertdialog', { name: '确认信息' });
    await page.getByRole('button', { name: '关闭' }).first().click();
    await box.getByText('是否确定退出？', { exact: true }).waitFor();
    await box.getByRole('button', { name: '否(N)' }).click();
    await box.waitFor({ state: 'hidden' });
    assert.equal((await request(`${gateway.consoleUrl}/api/state`, { headers: gateway.auth })).status, 200);

    await page.getByRole('button', { name: '关闭' }).first().click();
    await box.getByRole('button', { name: '是(Y)' }).click();
    const { code } = await Promise.race([
      gateway.exited,
      new Promise((_, reject) => setTimeout(() => reject(new Error('gateway still running')), 5000)),
    ]);
    assert.equal(code, 0);
  });
});

describe('console with a token', () => {
  let home;
  let gateway;
  let browser;

  before(async () => {
    home = await tempHome('token');
    gateway = await startGateway(home, { console: { Token: 's3cret' } });
    browser = await launchBrowser();
  });

  after(async () => {
    await browser?.close();
    await gateway?.stop();
    if (home) await fs.rm(home, { recursive: true, force: true });
  });

  test('every request beyond the page and the metrics presents the token', TEST, async () => {
    const url = gateway.consoleUrl;
    assert.equal(gateway.token, 's3cret');
    for (const path of ['/events', '/api/state', '/api/users']) {
      assert.equal((await request(`${url}${path}`)).status, 401, path);
      assert.equal((await request(`${url}${path}`, { headers: { Authorization: 'Bearer s3cre' } })).status, 401, path);
    }
    // Read-only and open on loopback: the page itself and the metrics.
    for (const path of ['/', '/metrics', '/client/tavrel-client.js']) {
      assert.equal((await request(`${url}${path}`)).status, 200, path);
    }
    assert.equal((await request(`${url}/api/state`, { headers: { Authorization: 'Bearer s3cret' } })).status, 200);
    const stream = await request(`${url}/events?token=s3cret`);
    assert.equal(stream.status, 200);
    assert.match(stream.headers['content-type'], /^text\/event-stream/);

    // The page opened with the token keeps working: its files, events and requests.
    const page = await browser.newPage();
    await page.goto(`${url}/?token=s3cret`);
    await page.waitForFunction((port) => document.getElementById('MemoLog').value.includes(`获得端口 ${port}`),
      gateway.gatePort, { timeout: 5000 });
    await chooseMenu(page, '查看', '查看日志', 'menuitemcheckbox');
    await page.waitForFunction(() => document.getElementById('N4').getAttribute('aria-checked') === 'true');
    const demo = await browser.newPage();
    await openDemo(demo, url, '?token=s3cret');
  });

  test('a console off loopback without a token fails the start: exit 1 with the reason', TEST, async () => {
    const open = await tempHome('open');
    try {
      const gw = await startGateway(open, { console: { Addr: '0.0.0.0' }, expectConsole: false });
      const ended = await Promise.race([gw.exited, new Promise((resolve) => setTimeout(resolve, 5000))]);
      assert.equal(ended?.code, 1);
      const why = /\[Console\] Addr 0\.0\.0\.0 is not a loopback address and \[Console\] Token is empty/;
      await waitUntil(() => /tavrelh5: cannot start: console: /.test(gw.stderr), 2000, 'the reason on stderr');
      assert.match(gw.stderr, why);
      const refusal = await waitUntil(() => gw.lines.find((l) => /Console not started: /.test(l)), 2000,
        'the refusal in the main log');
      assert.match(refusal, why);
      assert.equal(gw.countLines(/Console http:/), 0);
    } finally {
      await fs.rm(open, { recursive: true, force: true });
    }
  });
});
