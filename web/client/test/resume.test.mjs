// The client taking its session over on a new connection, against a scripted
// gateway and a clock the test moves by hand.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import {
  DROP_CODE, RESUME_REFUSED, TRY_AGAIN_LATER, TCodec, TGateClient, TMessageReader,
} from '../tavrel-client.js';
import { vectors, seed, fromHex } from './vectors.mjs';

const codec = new TCodec(vectors.tables);
const stream = fromHex(vectors.stream.bytes);
const TOKEN_A = '0123456789abcdef0123456789abcdef';
const TOKEN_B = 'fedcba9876543210fedcba9876543210';
const TOKEN_C = '00112233445566778899aabbccddeeff';

// A WebSocket double. The client's own close reaches onclose a turn later,
// as in a browser, with the code it gave.
class TFakeSocket {
  constructor(url) {
    this.url = url;
    this.sent = [];
    this.closedWith = null;
  }

  send(text) {
    assert.equal(this.closedWith, null, 'send on a closed socket');
    this.sent.push(text);
  }

  close(code, reason) {
    if (this.closedWith) return;
    this.closedWith = { code, reason };
    setImmediate(() => this.onclose?.({ code: code ?? 1005, reason: reason ?? '' }));
  }

  // The gateway's side.
  text(data) { this.onmessage({ data }); }
  binary(bytes) { this.onmessage({ data: bytes.slice().buffer }); }
  serverClose(code, reason = '') {
    this.closedWith = { code, reason, byGateway: true };
    this.onclose({ code, reason });
  }
}

// Timers that run when the test says so.
class TFakeClock {
  constructor() {
    this.time = 0;
    this.timers = new Map();
    this.nextId = 1;
  }

  now() { return this.time; }

  setTimeout(fn, ms) {
    const id = this.nextId++;
    this.timers.set(id, { at: this.time + ms, fn });
    return id;
  }

  clearTimeout(id) { this.timers.delete(id); }

  // Runs the earliest timer, moving the time to it; its delay from now.
  runNext() {
    assert.ok(this.timers.size > 0, 'no timer pending');
    const [id, timer] = [...this.timers].sort((a, b) => a[1].at - b[1].at)[0];
    this.timers.delete(id);
    const waited = timer.at - this.time;
    this.time = timer.at;
    timer.fn();
    return waited;
  }
}

// Everything the client queued (messages, then events) has been dispatched.
async function settle(client) {
  for (;;) {
    await new Promise((resolve) => setImmediate(resolve));
    const queue = client.queue;
    await queue;
    if (queue === client.queue) return;
  }
}

// A client on fake sockets and a fake clock, not connected yet; `events`
// records every event in dispatch order.
function clientRig(options = {}) {
  const sockets = [];
  class Socket extends TFakeSocket {
    constructor(url) {
      super(url);
      sockets.push(this);
    }
  }
  const clock = new TFakeClock();
  const client = new TGateClient('ws://gateway/', { codec, WebSocket: Socket, clock, random: () => 0.5, ...options });
  const events = [];
  for (const type of ['open', 'message', 'text', 'error', 'reconnecting', 'resumed', 'resumerefused', 'retrying', 'close']) {
    client.addEventListener(type, (e) => events.push({ type, ...e.detail }));
  }
  const last = () => sockets[sockets.length - 1];
  const of = (type) => events.filter((e) => e.type === type);
  return { client, sockets, clock, events, last, of };
}

// A client with resume on, logged in on its first connection and holding TOKEN_A.
async function loggedIn({ resume = true, random = () => 0.5 } = {}) {
  const rig = clientRig({ resume, random });
  const connected = rig.client.connect();
  rig.sockets[0].text('ok');
  await connected;
  rig.client.login('acc', 'name', 'U1');
  rig.sockets[0].text(`resume ${TOKEN_A}`);
  return rig;
}

// The resume request the client sent on a socket: its header and its body.
function resumeRequest(socket) {
  assert.equal(socket.sent.length, 1, 'one message: the request');
  const [text] = socket.sent;
  return { header: codec.decodeMessage(text.slice(0, 48)), body: text.slice(48), length: text.length };
}

// Lets the reconnect timer fire and answers as a gateway that accepts.
async function resumeOn(rig, token) {
  rig.clock.runNext();
  const socket = rig.last();
  socket.text('ok');
  const request = resumeRequest(socket);
  socket.text(`resume ${token}`);
  await settle(rig.client);
  return { socket, request };
}

describe('resume request', () => {
  test('after "ok" the first message asks for the session with the token and the binary bytes received', async () => {
    const rig = await loggedIn();
    const first = rig.sockets[0];
    first.binary(stream.subarray(0, 100));
    first.text('not counted: text messages are not stream bytes');
    first.binary(stream.subarray(100, 250));
    first.serverClose(1006);
    await settle(rig.client);
    assert.equal(rig.client.state, 'reconnecting');
    assert.equal(rig.sockets.length, 1, 'no new connection before the wait');

    rig.clock.runNext();
    const second = rig.last();
    assert.equal(second.url, 'ws://gateway/');
    assert.equal(second.binaryType, 'arraybuffer');
    assert.deepEqual(second.sent, [], 'nothing before the gateway says "ok"');
    second.text('ok');
    const request = resumeRequest(second);
    assert.equal(request.body, `*@${TOKEN_A}/250`);
    assert.equal(request.length, 48 + request.body.length);
    // Framed as the login is: a zero header but for nLength, with the deployment's codec.
    assert.deepEqual({ ...request.header }, {
      Recog: 0, Ident: 0, Param: 0, Tag: 0, Series: 0, nSessionID: 0, nIsZlib: 0, nLength: request.body.length, nIndex: 0,
    }, seed);

    second.text(`resume ${TOKEN_B}`);
    await settle(rig.client);
    assert.deepEqual(rig.of('resumed'), [{ type: 'resumed', attempt: 1, received: 250 }]);
    assert.equal(rig.client.state, 'open');
    assert.equal(rig.client.resumeToken, TOKEN_B);
    assert.equal(rig.client.received, 250);
  });

  test('the count runs over every connection, and each resume uses the latest token', async () => {
    const rig = await loggedIn();
    rig.sockets[0].binary(stream.subarray(0, 60));
    rig.sockets[0].serverClose(1006);
    const one = await resumeOn(rig, TOKEN_B);
    assert.equal(one.request.body, `*@${TOKEN_A}/60`);
    one.socket.binary(stream.subarray(60, 200));
    one.socket.serverClose(1006);
    const two = await resumeOn(rig, TOKEN_C);
    assert.equal(two.request.body, `*@${TOKEN_B}/200`);
    two.socket.binary(stream.subarray(200, 201));
    two.socket.serverClose(1006);
    await settle(rig.client);
    rig.clock.runNext();
    rig.last().text('ok');
    assert.equal(resumeRequest(rig.last()).body, `*@${TOKEN_C}/201`);
    assert.deepEqual(rig.of('close'), []);
  });
});

describe('stream across a resume', () => {
  // Offsets where the reader is left holding part of an item.
  function splitOffsets() {
    const reader = new TMessageReader(codec);
    const offsets = [];
    for (let at = 1; at < stream.length; at++) {
      reader.push(stream.subarray(at - 1, at));
      if (reader.buffered > 0) offsets.push(at);
    }
    return offsets;
  }

  test('an item cut by the drop reads whole from the replay, nothing lost or doubled', async () => {
    const offsets = splitOffsets();
    assert.ok(offsets.length > 0, seed);
    const want = vectors.stream.items.map((item) => (item.kind === 'text' ? `#${item.text}` : item.header.Ident));
    // A few cuts inside items: the first, one in the middle, the last.
    for (const cut of [offsets[0], offsets[offsets.length >> 1], offsets[offsets.length - 1]]) {
      const rig = await loggedIn();
      rig.sockets[0].binary(stream.subarray(0, cut));
      rig.sockets[0].serverClose(1006);
      const { socket, request } = await resumeOn(rig, TOKEN_B);
      assert.equal(request.body, `*@${TOKEN_A}/${cut}`);
      // The gateway replays from the offset asked for, in its own pieces.
      socket.binary(stream.subarray(cut, cut + 7));
      socket.binary(stream.subarray(cut + 7));
      await settle(rig.client);
      const got = rig.events.filter((e) => e.type === 'message' || e.type === 'text')
        .map((e) => (e.type === 'text' ? `#${e.text}` : e.header.Ident));
      assert.deepEqual(got, want, `cut at ${cut}, ${seed}`);
      assert.deepEqual(rig.of('error'), [], `cut at ${cut}, ${seed}`);
      assert.equal(rig.client.received, stream.length);
    }
  });

  test('events come after the messages received before them', async () => {
    const rig = await loggedIn();
    rig.sockets[0].binary(stream);
    rig.sockets[0].serverClose(1006);
    await resumeOn(rig, TOKEN_B);
    const types = rig.events.map((e) => e.type).filter((t) => t !== 'open');
    const firstEvent = types.indexOf('reconnecting');
    assert.equal(firstEvent, vectors.stream.items.length, seed);
    assert.deepEqual(types.slice(firstEvent), ['reconnecting', 'resumed']);
  });
});

describe('reconnect waits', () => {
  // Up to n attempts that each fail before "ok": the waits the client
  // announced for them and the time it actually waited.
  async function failingAttempts(rig, n) {
    const waits = [];
    for (let i = 0; i < n; i++) {
      await settle(rig.client);
      if (rig.client.state !== 'reconnecting') break;
      waits.push(rig.clock.runNext());
      rig.last().serverClose(1006);
    }
    await settle(rig.client);
    const announced = rig.of('reconnecting').map((e) => [e.attempt, e.delayMs]);
    return { waits, announced: announced.slice(0, waits.length) };
  }

  test('0.5 s doubling to 8 s, spread by at most 30% either way', async () => {
    const bases = [500, 1000, 2000, 4000, 8000, 8000, 8000];
    for (const [r, factor] of [[0.5, 1], [0, 0.7], [1 - 1e-12, 1.3]]) {
      const rig = await loggedIn({ resume: { giveUpAfterMs: 600000 }, random: () => r });
      rig.sockets[0].serverClose(1006);
      const { waits, announced } = await failingAttempts(rig, bases.length);
      const want = bases.map((b) => Math.round(b * factor));
      assert.deepEqual(announced, want.map((d, i) => [i + 1, d]), `random ${r}`);
      assert.deepEqual(waits, want, `random ${r}: waited as announced`);
    }
  });

  test('after 1012, the gateway handing itself over, the first attempt goes at once and the waits follow from 0.5 s', async () => {
    const rig = await loggedIn({ resume: { giveUpAfterMs: 600000 } });
    rig.sockets[0].binary(stream.subarray(0, 40));
    rig.sockets[0].serverClose(1012, 'service restart');
    const { waits, announced } = await failingAttempts(rig, 4);
    assert.deepEqual(waits, [0, 500, 1000, 2000]);
    assert.deepEqual(announced, [[1, 0], [2, 500], [3, 1000], [4, 2000]]);
    // The next 1012 starts at once again, and the request names every byte received.
    rig.clock.runNext();
    rig.last().text('ok');
    rig.last().text(`resume ${TOKEN_B}`);
    await settle(rig.client);
    assert.equal(rig.client.state, 'open');
    rig.last().serverClose(1012, 'service restart');
    await settle(rig.client);
    assert.equal(rig.clock.runNext(), 0);
    rig.last().text('ok');
    assert.equal(resumeRequest(rig.last()).body, `*@${TOKEN_B}/40`);
  });

  test('without resume, 1012 ends the session', async () => {
    const rig = await loggedIn({ resume: false });
    rig.sockets[0].serverClose(1012, 'service restart');
    await settle(rig.client);
    assert.equal(rig.client.state, 'closed');
    assert.deepEqual(rig.of('close'), [{ type: 'close', code: 1012, reason: 'service restart' }]);
    assert.equal(rig.sockets.length, 1);
  });

  test('with Math.random the waits stay within the bounds and differ', async () => {
    const rig = await loggedIn({ resume: { giveUpAfterMs: 600000 }, random: Math.random });
    rig.sockets[0].serverClose(1006);
    const { announced } = await failingAttempts(rig, 40);
    assert.equal(announced.length, 40);
    for (const [attempt, delayMs] of announced) {
      const base = Math.min(500 * 2 ** (attempt - 1), 8000);
      assert.ok(delayMs >= base * 0.7 && delayMs <= base * 1.3, `attempt ${attempt}: ${delayMs} ms`);
    }
    assert.ok(new Set(announced.slice(5).map(([, d]) => d)).size > 1, 'jitter at the 8 s cap');
  });

  test('no attempt starts after the give-up time; then the session closes with the last close', async () => {
    const rig = await loggedIn({ resume: { giveUpAfterMs: 20000 } });
    rig.sockets[0].serverClose(1006);
    const { waits } = await failingAttempts(rig, 10);
    // 500 + 1000 + 2000 + 4000 + 8000 = 15500; the next 8000 would end past 20000.
    assert.deepEqual(waits, [500, 1000, 2000, 4000, 8000]);
    assert.equal(rig.clock.timers.size, 0);
    assert.equal(rig.sockets.length, 6);
    assert.equal(rig.client.state, 'closed');
    assert.deepEqual(rig.of('close'), [{ type: 'close', code: 1006, reason: '' }]);
    assert.equal(rig.client.send(1), false);
  });

  test('an attempt the gateway does not answer is given up and the next one follows', async () => {
    const rig = await loggedIn({ resume: { attemptTimeoutMs: 3000 } });
    rig.sockets[0].serverClose(1006);
    await settle(rig.client);
    rig.clock.runNext();
    const silent = rig.last();
    silent.text('ok');
    assert.equal(resumeRequest(silent).body, `*@${TOKEN_A}/0`);
    assert.equal(rig.clock.runNext(), 3000);
    // Not 1000: the gateway may have handed this connection the session.
    assert.equal(silent.closedWith.code, DROP_CODE);
    await settle(rig.client);
    assert.deepEqual(rig.of('reconnecting').map((e) => e.attempt), [1, 2]);
    await resumeOn(rig, TOKEN_B);
    assert.equal(rig.client.state, 'open');
    assert.deepEqual(rig.of('close'), []);
  });

  test('a resume resets the count of attempts and the give-up time', async () => {
    const rig = await loggedIn({ resume: { giveUpAfterMs: 5000 } });
    rig.sockets[0].serverClose(1006);
    await failingAttempts(rig, 2);
    const { socket } = await resumeOn(rig, TOKEN_B);
    rig.clock.time += 60000;
    socket.serverClose(1006);
    await settle(rig.client);
    assert.deepEqual(rig.of('reconnecting').map((e) => e.attempt), [1, 2, 3, 1]);
  });
});

describe('when the session ends instead', () => {
  const gatewayCodes = [1000, 1001, 1007, 1009, 4000, 4001, 4002, 4003, 4004, 4005, RESUME_REFUSED, 4008];

  test('a close the gateway starts ends the session: no attempt', async () => {
    for (const code of gatewayCodes) {
      const rig = await loggedIn();
      rig.sockets[0].serverClose(code, 'why');
      await settle(rig.client);
      assert.deepEqual(rig.of('close'), [{ type: 'close', code, reason: 'why' }], `code ${code}`);
      assert.deepEqual(rig.of('reconnecting'), [], `code ${code}`);
      assert.equal(rig.clock.timers.size, 0, `code ${code}`);
      assert.equal(rig.sockets.length, 1, `code ${code}`);
    }
  });

  test('close() sends 1000 and does not come back', async () => {
    const rig = await loggedIn();
    rig.client.close();
    assert.equal(rig.sockets[0].closedWith.code, 1000);
    await settle(rig.client);
    assert.deepEqual(rig.of('close'), [{ type: 'close', code: 1000, reason: '' }]);
    assert.equal(rig.clock.timers.size, 0);
  });

  test('a broken stream closes with 1000 and does not come back', async () => {
    const rig = await loggedIn();
    // A header announcing a negative body.
    rig.sockets[0].binary(new TextEncoder().encode(codec.encode(new Uint8Array(36).fill(0xff))));
    assert.equal(rig.sockets[0].closedWith.code, 1000);
    await settle(rig.client);
    assert.deepEqual(rig.of('error').length, 1);
    assert.deepEqual(rig.of('close').map((e) => e.code), [1000]);
    assert.deepEqual(rig.of('reconnecting'), []);
  });

  test('without a token a lost connection just closes', async () => {
    const sockets = [];
    const client = new TGateClient('ws://gateway/', {
      codec, resume: true, clock: new TFakeClock(), WebSocket: class extends TFakeSocket {
        constructor(url) { super(url); sockets.push(this); }
      },
    });
    const closes = [];
    client.addEventListener('close', (e) => closes.push(e.detail.code));
    const connected = client.connect();
    sockets[0].text('ok');
    await connected;
    sockets[0].serverClose(1006);
    await settle(client);
    assert.deepEqual(closes, [1006]);
    assert.equal(sockets.length, 1);
  });

  test('a refused resume says so, then closes, and nothing more is tried', async () => {
    const rig = await loggedIn();
    rig.sockets[0].serverClose(1006);
    await settle(rig.client);
    rig.clock.runNext();
    rig.last().text('ok');
    rig.last().serverClose(RESUME_REFUSED, 'resume refused');
    await settle(rig.client);
    assert.deepEqual(rig.events.filter((e) => e.type !== 'open').map(({ type, ...detail }) => [type, detail]), [
      ['reconnecting', { attempt: 1, delayMs: 500 }],
      ['resumerefused', { code: RESUME_REFUSED, reason: 'resume refused' }],
      ['close', { code: RESUME_REFUSED, reason: 'resume refused' }],
    ]);
    assert.equal(rig.clock.timers.size, 0);
    assert.equal(rig.sockets.length, 2);
    assert.equal(rig.client.state, 'closed');
  });

  test('during an attempt, a full gateway or an address limit is waited out; a drain ends it', async () => {
    const rig = await loggedIn();
    rig.sockets[0].serverClose(1006);
    for (const code of [4003, 4004]) {
      await settle(rig.client);
      rig.clock.runNext();
      rig.last().serverClose(code);
    }
    await settle(rig.client);
    assert.deepEqual(rig.of('reconnecting').map((e) => e.attempt), [1, 2, 3]);
    rig.clock.runNext();
    rig.last().serverClose(1001, 'gateway shutting down');
    await settle(rig.client);
    assert.deepEqual(rig.of('close'), [{ type: 'close', code: 1001, reason: 'gateway shutting down' }]);
    assert.deepEqual(rig.of('resumerefused'), []);
    assert.equal(rig.clock.timers.size, 0);
  });

  test('close() while waiting to reconnect ends the session at once', async () => {
    const rig = await loggedIn();
    rig.sockets[0].serverClose(1006);
    await settle(rig.client);
    rig.client.close();
    await settle(rig.client);
    assert.deepEqual(rig.of('close'), [{ type: 'close', code: 1000, reason: '' }]);
    assert.equal(rig.clock.timers.size, 0);
    assert.equal(rig.sockets.length, 1);
  });

  test('close() during an attempt closes it with 1000 and ignores a late answer', async () => {
    const rig = await loggedIn();
    rig.sockets[0].serverClose(1006);
    await settle(rig.client);
    rig.clock.runNext();
    const attempt = rig.last();
    attempt.text('ok');
    rig.client.close();
    assert.equal(attempt.closedWith.code, 1000);
    attempt.text(`resume ${TOKEN_B}`);
    await settle(rig.client);
    assert.equal(rig.client.state, 'closed');
    assert.deepEqual(rig.of('resumed'), []);
    assert.deepEqual(rig.of('close').map((e) => e.code), [1000]);
    assert.equal(rig.clock.timers.size, 0);
  });
});

describe('the application while reconnecting', () => {
  test('send() drops messages until the resume and the request stays the first message', async () => {
    const rig = await loggedIn();
    assert.equal(rig.client.heartbeat(), true);
    rig.sockets[0].serverClose(1006);
    assert.equal(rig.client.heartbeat(), false);
    await settle(rig.client);
    rig.clock.runNext();
    const attempt = rig.last();
    assert.equal(rig.client.walk(1, 2, 3), false);
    attempt.text('ok');
    assert.equal(rig.client.walk(1, 2, 3), false, 'not before the gateway has answered the request');
    assert.equal(resumeRequest(attempt).body, `*@${TOKEN_A}/0`);
    attempt.text(`resume ${TOKEN_B}`);
    assert.equal(rig.client.walk(1, 2, 3), true);
    assert.equal(attempt.sent.length, 2);
    assert.equal(codec.decodeMessage(attempt.sent[1]).Recog, 1 + 2 * 65536);
  });

  test('dropConnection closes with a code the gateway keeps the session for, and the client resumes', async () => {
    const rig = await loggedIn();
    assert.equal(rig.client.dropConnection(), true);
    assert.deepEqual(rig.sockets[0].closedWith, { code: DROP_CODE, reason: 'connection dropped' });
    // A browser reports the close with the code the client gave, one of the
    // gateway's range: the client still knows it dropped the connection itself.
    await settle(rig.client);
    assert.deepEqual(rig.of('reconnecting').map((e) => e.attempt), [1]);
    assert.equal(rig.client.dropConnection(), false, 'nothing open to drop');
    await resumeOn(rig, TOKEN_B);
    assert.equal(rig.client.state, 'open');
  });

  test('without the resume option a lost connection closes as it always did', async () => {
    const rig = await loggedIn({ resume: false });
    rig.sockets[0].serverClose(1006);
    await settle(rig.client);
    assert.deepEqual(rig.of('close').map((e) => e.code), [1006]);
    assert.equal(rig.sockets.length, 1);
    assert.equal(rig.clock.timers.size, 0);
  });
});

// 1013: the gateway's game server is unavailable, and the gateway holds
// nothing for this client; it comes back with the resume's waits.
describe('game server unavailable', () => {
  test('a connection closed with 1013 before "ok" is tried again with backoff; connect() resolves at the "ok"', async () => {
    const rig = clientRig();
    let connected = false;
    const done = rig.client.connect().then(() => { connected = true; });
    const waits = [];
    for (let i = 0; i < 3; ++i) {
      rig.last().serverClose(TRY_AGAIN_LATER, 'game server unavailable');
      await settle(rig.client);
      assert.equal(rig.client.state, 'reconnecting');
      assert.equal(rig.client.send(1), false);
      assert.equal(rig.sockets.length, i + 1, 'no new connection before the wait');
      waits.push(rig.clock.runNext());
    }
    assert.deepEqual(waits, [500, 1000, 2000]);
    assert.deepEqual(rig.of('retrying'), [1, 2, 3].map((attempt, i) => (
      { type: 'retrying', attempt, delayMs: waits[i], code: TRY_AGAIN_LATER, reason: 'game server unavailable' })));
    assert.equal(connected, false);
    rig.last().text('ok');
    await done;
    assert.equal(rig.client.state, 'open');
    assert.deepEqual(rig.of('open').length, 1);
    assert.deepEqual(rig.of('close'), []);
    // Accepted: a later 1013 starts the waits from the beginning.
    rig.last().serverClose(TRY_AGAIN_LATER);
    await settle(rig.client);
    assert.equal(rig.clock.runNext(), 500);
  });

  test('with resume on, a login text refused with 1013 is sent again on the next connection, without a second "open"', async () => {
    const rig = clientRig({ resume: true });
    const connected = rig.client.connect();
    rig.last().text('ok');
    await connected;
    assert.equal(rig.client.login('acc', 'name', 'U1'), true);
    const login = rig.last().sent[0];
    rig.last().serverClose(TRY_AGAIN_LATER, 'game server unavailable');
    await settle(rig.client);
    assert.deepEqual(rig.of('reconnecting'), [], 'no resume: the gateway holds no session');
    assert.equal(rig.client.login('acc', 'name', 'U1'), false, 'dropped while waiting');
    rig.clock.runNext();
    rig.last().text('ok');
    assert.deepEqual(rig.last().sent, [login]);
    rig.last().text(`resume ${TOKEN_A}`);
    await settle(rig.client);
    assert.equal(rig.client.state, 'open');
    assert.equal(rig.of('open').length, 1);
    assert.equal(rig.of('retrying').length, 1);
    // Now a session exists: a lost connection resumes it.
    rig.last().serverClose(1006);
    await settle(rig.client);
    assert.equal(rig.of('reconnecting').length, 1);
  });

  test('no attempt starts after the give-up time: the session closes with 1013 and connect() rejects', async () => {
    const rig = clientRig({ retryUnavailable: { giveUpAfterMs: 3000 } });
    const done = rig.client.connect();
    rig.last().serverClose(TRY_AGAIN_LATER, 'game server unavailable');
    await settle(rig.client);
    rig.clock.runNext();  // 500
    rig.last().serverClose(TRY_AGAIN_LATER, 'game server unavailable');
    await settle(rig.client);
    rig.clock.runNext();  // 1500; the next 2000 would end past 3000
    rig.last().serverClose(TRY_AGAIN_LATER, 'game server unavailable');
    await assert.rejects(done, /1013/);
    await settle(rig.client);
    assert.equal(rig.client.state, 'closed');
    assert.equal(rig.sockets.length, 3);
    assert.equal(rig.clock.timers.size, 0);
    assert.deepEqual(rig.of('close'), [{ type: 'close', code: TRY_AGAIN_LATER, reason: 'game server unavailable' }]);
  });

  test('close() while waiting ends it; retryUnavailable false takes 1013 as the end', async () => {
    const rig = clientRig();
    const done = rig.client.connect();
    rig.last().serverClose(TRY_AGAIN_LATER);
    await settle(rig.client);
    rig.client.close();
    await assert.rejects(done);
    await settle(rig.client);
    assert.equal(rig.clock.timers.size, 0);
    assert.deepEqual(rig.of('close').map((e) => e.code), [1000]);

    const off = clientRig({ retryUnavailable: false });
    const refused = off.client.connect();
    off.last().serverClose(TRY_AGAIN_LATER);
    await assert.rejects(refused, /1013/);
    await settle(off.client);
    assert.deepEqual(off.of('close').map((e) => e.code), [TRY_AGAIN_LATER]);
    assert.equal(off.clock.timers.size, 0);
  });
});
