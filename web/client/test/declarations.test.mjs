// The declarations against the module: they compile with a client's usage,
// and they describe exactly the idents the gateway translates.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { Idents, TranslatedIdents } from '../tavrel-client.js';
import { vectors, seed } from './vectors.mjs';

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
const withTsc = { skip: existsSync(tsc) ? false : 'typescript not installed: run npm ci in web/client' };

function typeCheck(args) {
  try {
    execFileSync(process.execPath, [tsc, ...args], { encoding: 'utf8', timeout: 120000 });
  } catch (err) {
    assert.fail(`tsc: ${err.stdout}${err.stderr}`);
  }
}

test('the declarations compile with a client\'s usage (tsc --noEmit)', withTsc, () => {
  typeCheck(['-p', path.join(dir, 'test/tsconfig.json')]);
});

// Every sample of the gateway's converters as an object literal of its
// declared type: a member the declarations lack, one they require that the
// gateway left out, or a wrong type or tuple length fails the check. The
// item members that carry JSON text are checked as their own types.
test('the JSON the gateway\'s converters write fits the declarations', withTsc, () => {
  const lines = [`import type * as T from ${JSON.stringify(path.join(dir, 'tavrel-client.js'))};`];
  let n = 0;
  const check = (type, value) => lines.push(`export const v${n++}: ${type} = ${JSON.stringify(value)};`);
  const items = (value) => (Array.isArray(value) ? value : [value]).filter((v) => 'ExtendInfo' in v);
  for (const name of TranslatedIdents) {
    const samples = vectors.json[name];
    assert.ok(samples?.length > 0, `no samples of ${name}, ${seed}`);
    for (const text of samples) {
      const value = JSON.parse(text);
      check(`T.TranslatedJson['${name}']`, value);
      for (const item of items(value)) {
        check('T.TItemExtendJson', JSON.parse(item.ExtendInfo));
        check('T.TItemExAbilJson', JSON.parse(item.ExAbil));
      }
    }
  }
  const tmp = mkdtempSync(path.join(os.tmpdir(), 'tavrel-client-types-'));
  try {
    const file = path.join(tmp, 'samples.mts');
    writeFileSync(file, `${lines.join('\n')}\n`);
    typeCheck(['--noEmit', '--strict', '--target', 'ES2022', '--module', 'NodeNext', '--moduleResolution', 'NodeNext',
      '--lib', 'ES2022,DOM', '--skipLibCheck', file]);
  } finally {
    rmSync(tmp, { recursive: true, force: true });
  }
});
