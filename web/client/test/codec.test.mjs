// The module's codec against the gateway's, with random non-identity tables
// and non-zero keys.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { TCodec, TDefaultMessage } from '../tavrel-client.js';
import { vectors, seed, fromHex, toHex, latin1, fields } from './vectors.mjs';

const codec = new TCodec(vectors.tables);

describe('codec against the gateway', () => {
  test('the tables are not the identity, so the vectors can tell them apart', () => {
    const plain = TCodec.identity();
    const differ = vectors.buffers.filter((b) => b.bytes && plain.encode(fromHex(b.bytes)) !== b.text);
    assert.ok(differ.length > 40, seed);
  });

  test('byte strings of every length encode and decode as the gateway does', () => {
    for (const { bytes, text } of vectors.buffers) {
      const n = bytes.length / 2;
      assert.equal(codec.encode(fromHex(bytes)), text, `${n} bytes, ${seed}`);
      assert.equal(toHex(codec.decode(text)), bytes, `${n} bytes, ${seed}`);
    }
  });

  test('tables given as byte values work as the hex digits do', () => {
    const asBytes = new TCodec({
      ...vectors.tables,
      EncodeBitMasks: Array.from(fromHex(vectors.tables.EncodeBitMasks)),
      DecodeBitMasks: fromHex(vectors.tables.DecodeBitMasks),
    });
    for (const { bytes, text } of vectors.buffers) assert.equal(asBytes.encode(fromHex(bytes)), text, seed);
  });

  test('strings go through UTF-8 both ways', () => {
    for (const { text, encoded } of vectors.strings) {
      assert.equal(codec.encodeString(text), encoded, `${JSON.stringify(text)}, ${seed}`);
      assert.equal(codec.decodeString(encoded), text, `${JSON.stringify(text)}, ${seed}`);
    }
  });

  test('unclean texts decode as the gateway decodes them', () => {
    for (const { text, bytes, string } of vectors.decodes) {
      const chars = latin1(fromHex(text));
      assert.equal(toHex(codec.decode(chars)), bytes, `text ${text}, ${seed}`);
      if (string !== undefined) assert.equal(codec.decodeString(chars), string, `text ${text}, ${seed}`);
    }
  });

  test('records encode to 48 characters and decode, a short text with zeros', () => {
    for (const { fields: f, text } of vectors.messages) {
      if (text.length === 48) assert.equal(codec.encodeMessage(new TDefaultMessage(f)), text, seed);
      assert.deepEqual(fields(codec.decodeMessage(text)), f, `${text}, ${seed}`);
    }
  });
});

describe('codec options', () => {
  const hex = vectors.tables.EncodeBitMasks;

  test('without tables and keys it is the identity the gateway uses without [Codec]', () => {
    const plain = new TCodec();
    assert.equal(plain.encode([0, 0, 0]), '<<<<');
    assert.equal(plain.encode([0xff, 0xff, 0xff]), '{{{{');
    assert.equal(plain.encodeString('abc'), new TCodec({ n4CEEF8: 0x01000000 }).encodeString('abc'),
      'the upper bytes of n4CEEF8 take no part');
  });

  test('tables the gateway would refuse are refused', () => {
    const notPermutation = '00'.repeat(256);
    assert.throws(() => new TCodec({ EncodeBitMasks: notPermutation }), /not a permutation/);
    assert.throws(() => new TCodec({ DecodeBitMasks: hex.slice(2) }), /512 hex digits/);
    assert.throws(() => new TCodec({ EncodeBitMasks: new Array(255).fill(0) }), /256 byte values/);
    assert.throws(() => new TCodec({ EncodeBitMasks: hex }), /does not invert/);
    assert.throws(() => new TCodec({ ...vectors.tables, w4CEF00: vectors.tables.w4CEF00 ^ 1 }), /does not invert/);
    assert.throws(() => new TCodec({ n4CEEF4: '7' }), /integer/);
  });
});
