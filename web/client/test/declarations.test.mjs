// The declarations against the module: they compile with a client's usage,
// and they describe exactly the idents the gateway translates.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { Idents, TranslatedIdents } from '../tavrel-client.js';

const dir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const declarations = readFileSync(path.join(dir, 'tavrel-client.d.ts'), 'utf8');

test('TranslatedJson names every translated ident and nothing else', () => {
  const block = declarations.match(/export interface TranslatedJson \{([^}]*)\}/);
  assert.ok(block, 'TranslatedJson not found');
  const declared = [...block[1].matchAll(/^\s*(SM_\w+):/gm)].map((m) => m[1]);
  assert.deepEqual([...declared].sort(), [...TranslatedIdents].sort());
  for (const name of TranslatedIdents) assert.equal(typeof Idents[name], 'number', name);
});

test('the idents the client sends exist in the table', () => {
  for (const name of ['CM_LOGINNOTICEOK', 'CM_WALK', 'CM_SPELL', 'CM_HEART']) {
    assert.equal(typeof Idents[name], 'number', name);
  }
});

const tsc = path.join(dir, 'node_modules/typescript/bin/tsc');
test('the declarations compile with a client\'s usage (tsc --noEmit)', {
  skip: existsSync(tsc) ? false : 'typescript not installed: run npm ci in web/client',
}, () => {
  try {
    execFileSync(process.execPath, [tsc, '-p', path.join(dir, 'test/tsconfig.json')], { encoding: 'utf8', timeout: 120000 });
  } catch (err) {
    assert.fail(`tsc: ${err.stdout}${err.stderr}`);
  }
});
