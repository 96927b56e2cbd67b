// The stream reader against a stream the gateway's codec wrote, cut at
// awkward places, and the connection around it.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import {
  Idents, TCodec, TDefaultMessage, TGateClient, TMessageReader, TStreamError, readBody,
} from '../tavrel-client.js';
import { vectors, seed, fromHex, toHex, fields } from './vectors.mjs';

const codec = new TCodec(vectors.tables);
const stream = fromHex(vectors.stream.bytes);
const expected = vectors.stream.items.map((item) => (item.kind === 'text'
  ? { kind: 'text', text: item.text }
  : { kind: 'message', header: item.header, body: item.body }));

function plain(items) {
  return items.map((item) => (item.kind === 'text'
    ? { kind: 'text', text: item.text }
    : { kind: 'message', header: fields(item.header), body: toHex(item.body) }));
}

function readInPieces(cuts) {
  const reader = new TMessageReader(codec);
  const items = [];
  let at = 0;
  for (const end of [...cuts, stream.length]) {
    items.push(...reader.push(stream.subarray(at, end)));
    at = end;
  }
  assert.equal(reader.buffered, 0, seed);
  return plain(items);
}

describe('stream reader against the gateway', () => {
  test('the whole stream at once', () => {
    assert.deepEqual(readInPieces([]), expected, seed);
  });

  test('cut around every boundary and at random offsets', () => {
    for (const cuts of vectors.stream.cuts) assert.deepEqual(readInPieces(cuts), expected, `cuts ${cuts}, ${seed}`);
  });

  test('one byte at a time', () => {
    assert.deepEqual(readInPieces(Array.from({ length: stream.length - 1 }, (_, i) => i + 1)), expected, seed);
  });

  test('bodies read as the text the gateway encoded, the zlib one inflated', async () => {
    const items = new TMessageReader(codec).push(stream);
    assert.equal(items.length, vectors.stream.items.length, seed);
    assert.ok(vectors.stream.items.some((item) => item.header?.nIsZlib === 1 && item.text), seed);
    for (const [i, want] of vectors.stream.items.entries()) {
      if (want.kind !== 'message' || want.text === undefined) continue;
      const got = await readBody(codec, items[i].header, items[i].body);
      assert.equal(got.text, want.text, `ident ${want.header.Ident}, ${seed}`);
      if (/^[[{]/.test(want.text)) assert.deepEqual(got.json, JSON.parse(want.text), seed);
    }
  });
});

describe('stream reader on a broken stream', () => {
  const header = (nLength) => new TextEncoder().encode(codec.encodeMessage(new TDefaultMessage({ Ident: 7, nLength })));

  test('a negative or oversized body length is an error, and what was held is dropped', () => {
    const reader = new TMessageReader(codec, { maxBody: 100 });
    assert.throws(() => reader.push(header(-1)), TStreamError);
    assert.equal(reader.buffered, 0);
    assert.throws(() => reader.push(header(101)), TStreamError);
    assert.equal(reader.push(header(100)).length, 0, 'a body at the limit is awaited');
    assert.equal(reader.buffered, 48);
  });

  test('a text line without its end is held up to the limit only', () => {
    const reader = new TMessageReader(codec, { maxTextLine: 8 });
    assert.deepEqual(reader.push(new TextEncoder().encode('#1234567')), []);
    assert.throws(() => reader.push(new TextEncoder().encode('89')), TStreamError);
    assert.deepEqual(plain(reader.push(new TextEncoder().encode('#ok!'))), [{ kind: 'text', text: 'ok' }]);
  });
});

// A WebSocket double: records what is sent, lets the test play the gateway.
class TFakeSocket {
  static last = null;

  constructor(url) {
    this.url = url;
    this.sent = [];
    this.closed = false;
    TFakeSocket.last = this;
  }

  send(text) { this.sent.push(text); }

  close() {
    this.closed = true;
    this.onclose?.({ code: 1000, reason: '' });
  }
}

describe('connection', () => {
  test('logs in after "ok", frames requests with GBK lengths, delivers messages in order', async () => {
    const client = new TGateClient('ws://gateway/', { tables: vectors.tables, WebSocket: TFakeSocket });
    const connected = client.connect();
    const socket = TFakeSocket.last;
    socket.onmessage({ data: 'ok' });
    await connected;

    client.login('acc', '勇者', 'U1');
    client.walk(101, 200, 2, 100, 200);
    client.spell({ skillID: 12, dir: 3, targetID: '8812' });
    const [login, walk, spell] = socket.sent;
    const loginHeader = codec.decodeMessage(login.slice(0, 48));
    assert.equal(login.slice(48), '*#acc/勇者/U1/1/0/0/0/0/0/0');
    assert.equal(loginHeader.nLength, login.length - 48 + 2, 'two GBK bytes per Chinese character');
    const walkHeader = codec.decodeMessage(walk);
    assert.deepEqual([walkHeader.Ident, walkHeader.Recog, walkHeader.Tag, walkHeader.Series, walkHeader.nLength],
      [Idents.CM_WALK, 101 + 200 * 65536, 2, 100 + 200 * 65536, 0]);
    assert.equal(codec.decodeMessage(spell.slice(0, 48)).Ident, Idents.CM_SPELL);
    assert.equal(JSON.parse(spell.slice(48)).targetID, '8812');

    const seen = [];
    client.addEventListener('message', (e) => seen.push({ kind: 'message', ident: e.detail.header.Ident, text: e.detail.text }));
    client.addEventListener('text', (e) => seen.push({ kind: 'text', text: e.detail.text }));
    const closed = new Promise((resolve) => client.addEventListener('close', resolve));
    for (const cut of [[0, 30], [30, 500], [500, stream.length]]) {
      const piece = stream.slice(cut[0], cut[1]);
      socket.onmessage({ data: piece.buffer });
    }
    socket.close();
    await closed;
    assert.deepEqual(seen.map((s) => s.kind === 'text' ? s.text : s.ident),
      vectors.stream.items.map((item) => (item.kind === 'text' ? item.text : item.header.Ident)), seed);
    const zlib = vectors.stream.items.find((item) => item.kind === 'message' && item.header.nIsZlib === 1);
    assert.ok(seen.some((s) => s.text === zlib.text), `the zlib body inflated, ${seed}`);
  });

  test('a broken stream is reported and the connection closed', async () => {
    const client = new TGateClient('ws://gateway/', { codec, WebSocket: TFakeSocket, maxBody: 10 });
    const connected = client.connect();
    const socket = TFakeSocket.last;
    socket.onmessage({ data: 'ok' });
    await connected;
    const errors = [];
    client.addEventListener('error', (e) => errors.push(e.detail.error));
    socket.onmessage({ data: new TextEncoder().encode(codec.encodeMessage(new TDefaultMessage({ nLength: 11 }))).buffer });
    assert.equal(errors.length, 1);
    assert.ok(errors[0] instanceof TStreamError);
    assert.ok(socket.closed);
  });

  test('the gateway closing before "ok" fails the connect', async () => {
    const client = new TGateClient('ws://gateway/', { WebSocket: TFakeSocket });
    const connected = client.connect();
    TFakeSocket.last.onclose({ code: 1008, reason: 'refused' });
    await assert.rejects(connected, /closed \(1008\)/);
  });
});
