// The reference client in Chromium, checked by tavrel-conform's client check:
// the demo page logs in, enters the game and walks through the real gateway,
// whose game server is the check; every rule it can observe must pass.
import assert from 'node:assert/strict';
import fs from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, describe, test } from 'node:test';

import { TProcess, demoLogin, launchBrowser, openDemo, startGateway, tempHome } from './harness.mjs';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const conformBin = process.env.TAVREL_CONFORM_BIN ?? path.join(root, 'build/release/tavrel-conform');

describe('client check', () => {
  let home;
  let conform;
  let gateway;
  let browser;

  before(async () => {
    home = await tempHome('conform');
    conform = new TProcess(conformBin, ['client', '--port', '0', '--seconds', '15'], home);
    const line = await conform.waitForLine(/^listening on \d+/);
    gateway = await startGateway(home, { serverPort: Number(line.split(' ')[2]) });
    browser = await launchBrowser();
  });

  after(async () => {
    await browser?.close();
    await gateway?.stop();
    await conform?.stop();
    if (home) await fs.rm(home, { recursive: true, force: true });
  });

  test('the reference client passes every rule it exercises', { timeout: 20000 }, async () => {
    const page = await browser.newPage();
    page.setDefaultTimeout(5000);
    await openDemo(page, gateway.consoleUrl);
    await demoLogin(page, 'conformer', 'C-0001');
    await page.locator('#noticeOk').click();
    await page.locator('#walk').click();
    // The session's close ends the check.
    await page.locator('#disconnect').click();
    const { code } = await conform.exited;
    const report = conform.lines.join('\n');
    assert.equal(code, 0, report);
    for (const rule of ['session-opened', 'login-text', 'enters-game', 'message-form',
      'client-idents-known', 'move-direction', 'keeps-pace']) {
      assert.ok(conform.lines.includes(`PASS ${rule}`), `${rule}:\n${report}`);
    }
  });
});
