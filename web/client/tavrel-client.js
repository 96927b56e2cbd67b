// TavrelH5 reference client: what a browser client needs to talk to the
// gateway, as an ES module without dependencies (types in tavrel-client.d.ts).
//
//   - Idents, TranslatedIdents: every message ident by name, generated from
//     the gateway's own table (idents.js), and the SM_ idents whose bodies
//     the gateway turns into JSON.
//   - TCodec: the 6-bit codec with the deployment's substitution tables and
//     keys (the [Codec] section of the gateway's Tavrel.ini).
//   - TDefaultMessage: the 36-byte message header (nine little-endian int32).
//   - TMessageReader: cuts the gateway's binary stream into messages. A
//     binary WebSocket message may end inside a client message, so the
//     reader keeps what is left over for the next one.
//   - readBody, inflateBody: a body turned into text and JSON; zlib bodies
//     (nIsZlib = 1) through DecompressionStream.
//   - TGateClient: a session that logs in and sends game requests, and with
//     resume on takes itself over on a new connection when one is lost.
//
// A client message, both ways: 48 characters of encoded header, then
// nLength body bytes. Towards the client most bodies are 6-bit text of UTF-8
// JSON, inflated first when nIsZlib is 1; a plain text line comes as
// "#" text "!" instead. Towards the gateway a message is one WebSocket text
// message, its body plain text (the login line, a spell's JSON).

import { Idents, TranslatedIdents } from './idents.js';

export { Idents, TranslatedIdents };

export const DEFBLOCKSIZE = 48;

// The ident the gateway answers a refused walk, run, turn, hit or spell with.
export const ACTION_REFUSED = 1;

const FIELDS = ['Recog', 'Ident', 'Param', 'Tag', 'Series', 'nSessionID', 'nIsZlib', 'nLength', 'nIndex'];

// Names by value for one prefix; a value some other name shares is kept
// under its first name.
function namesByValue(prefix) {
  const names = new Map();
  for (const [name, value] of Object.entries(Idents)) {
    if (name.startsWith(prefix) && !names.has(value)) names.set(value, name);
  }
  return names;
}
const SERVER_NAMES = namesByValue('SM_');
const GATE_NAMES = namesByValue('GM_');

// The name of an ident in a message from the gateway: an SM_ name, a GM_
// name the gateway passes on, or '' for an unknown one.
export function serverIdentName(ident) {
  if (ident === ACTION_REFUSED) return 'ACTION_REFUSED';
  return SERVER_NAMES.get(ident) ?? GATE_NAMES.get(ident) ?? '';
}

export class TDefaultMessage {
  constructor(fields = {}) {
    for (const name of FIELDS) this[name] = fields[name] | 0;
  }

  toBytes() {
    const bytes = new Uint8Array(36);
    const view = new DataView(bytes.buffer);
    FIELDS.forEach((name, i) => view.setInt32(i * 4, this[name] | 0, true));
    return bytes;
  }

  // Bytes the text did not yield read as zero.
  static fromBytes(bytes) {
    const full = new Uint8Array(36);
    full.set(bytes.subarray(0, 36));
    const view = new DataView(full.buffer);
    const msg = new TDefaultMessage();
    FIELDS.forEach((name, i) => { msg[name] = view.getInt32(i * 4, true); });
    return msg;
  }
}

// Two 16-bit values in one field: the first in the low half.
export function makeLong(low, high) {
  return ((low & 0xffff) | ((high & 0xffff) << 16)) | 0;
}

function identityTable() {
  const table = new Uint8Array(256);
  for (let i = 0; i < 256; i++) table[i] = i;
  return table;
}

// A table as 512 hex digits (Tavrel.ini, /api/codec) or 256 byte values;
// absent, the identity, as the gateway has without [Codec].
function readTable(name, value) {
  if (value === undefined || value === null) return identityTable();
  const table = new Uint8Array(256);
  if (typeof value === 'string') {
    if (!/^[0-9a-fA-F]{512}$/.test(value)) throw new Error(`${name}: expected 512 hex digits`);
    for (let i = 0; i < 256; i++) table[i] = Number.parseInt(value.substr(i * 2, 2), 16);
  } else {
    if (value.length !== 256) throw new Error(`${name}: expected 256 byte values`);
    for (let i = 0; i < 256; i++) {
      const b = value[i];
      if (!Number.isInteger(b) || b < 0 || b > 255) throw new Error(`${name}: ${b} at ${i} is not a byte`);
      table[i] = b;
    }
  }
  const seen = new Uint8Array(256);
  for (const b of table) {
    if (seen[b]) throw new Error(`${name} is not a permutation of 0..255`);
    seen[b] = 1;
  }
  return table;
}

function readKey(name, value) {
  if (value === undefined || value === null) return 0;
  if (!Number.isInteger(value)) throw new Error(`${name}: expected an integer`);
  return value;
}

export class TCodec {
  // tables: { EncodeBitMasks, DecodeBitMasks, n4CEEF4, n4CEEF8, n4CEEFC,
  // w4CEF00 }, the deployment's [Codec] values (GET /api/codec serves them in
  // this form). Tables absent are the identity, keys absent 0. Refuses
  // tables that the gateway would refuse: decoding must invert encoding.
  constructor(tables = {}) {
    const enc = readTable('EncodeBitMasks', tables.EncodeBitMasks);
    const dec = readTable('DecodeBitMasks', tables.DecodeBitMasks);
    const k4 = readKey('n4CEEF4', tables.n4CEEF4) & 0xff;
    const n8 = readKey('n4CEEF8', tables.n4CEEF8);
    const k8 = ((n8 & 0xff) + ((n8 >> 8) & 0xff)) & 0xff;
    const encKey = readKey('n4CEEFC', tables.n4CEEFC) & 0xff;
    const decKey = readKey('w4CEF00', tables.w4CEF00) & 0xff;
    for (let x = 0; x < 256; x++) {
      if ((dec[enc[x] ^ encKey] ^ decKey) !== x) {
        throw new Error(`DecodeBitMasks does not invert EncodeBitMasks with keys n4CEEFC and w4CEF00 (fails for byte ${x})`);
      }
    }
    // The substitutions with their keys folded in.
    this.encodeSub = new Uint8Array(256);
    this.decodeSub = new Uint8Array(256);
    for (let x = 0; x < 256; x++) {
      this.encodeSub[x] = enc[x] ^ encKey ^ k4 ^ k8;
      this.decodeSub[x] = dec[x ^ k8 ^ k4] ^ decKey;
    }
  }

  // The identity tables and zero keys, a deployment without [Codec].
  static identity() {
    return new TCodec();
  }

  // Every 3 bytes become 4 characters from "<" to "{"; no padding.
  encode(bytes) {
    let out = '';
    let acc = 0;
    let bits = 0;
    for (const b of bytes) {
      acc = (acc << 8) | this.encodeSub[b];
      bits += 8;
      while (bits >= 6) {
        bits -= 6;
        out += String.fromCharCode(0x3c + ((acc >> bits) & 0x3f));
      }
      acc &= (1 << bits) - 1;
    }
    if (bits > 0) out += String.fromCharCode(0x3c + ((acc << (6 - bits)) & 0x3f));
    return out;
  }

  // A character below "<" anywhere makes the result empty; one above "{"
  // counts as the one 64 lower; bits of an incomplete last byte are dropped.
  decode(text) {
    const out = new Uint8Array(Math.floor((text.length * 6) / 8));
    let n = 0;
    let acc = 0;
    let bits = 0;
    for (let i = 0; i < text.length; i++) {
      const c = text.charCodeAt(i);
      if (c < 0x3c) return new Uint8Array(0);
      acc = ((acc << 6) | ((c - 0x3c) & 0x3f)) & 0xfff;
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        out[n++] = this.decodeSub[(acc >> bits) & 0xff];
      }
    }
    return out.subarray(0, n);
  }

  encodeMessage(msg) {
    return this.encode(msg.toBytes());
  }

  decodeMessage(text) {
    return TDefaultMessage.fromBytes(this.decode(text));
  }

  encodeString(text) {
    return this.encode(new TextEncoder().encode(text));
  }

  // UTF-8 up to the first zero byte.
  decodeString(text) {
    const bytes = this.decode(text);
    const zero = bytes.indexOf(0);
    return new TextDecoder().decode(zero < 0 ? bytes : bytes.subarray(0, zero));
  }
}

// The deployment's codec tables and the gateway's port from its operator
// console (GET /api/codec; a console with a token needs it here). Meant for
// the demo and for tools on the operator's side: players' browsers cannot
// reach the console, so a production client ships the tables it was built
// for.
export async function fetchCodecTables(consoleUrl = '', consoleToken = null) {
  const headers = consoleToken ? { Authorization: `Bearer ${consoleToken}` } : {};
  const res = await fetch(new URL('/api/codec', consoleUrl || location.href), { headers });
  if (!res.ok) throw new Error(`codec tables: ${res.status} ${res.statusText}`);
  return res.json();
}

// A zlib stream (RFC 1950, what the gateway's compress produces) inflated.
export async function inflateBody(bytes) {
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate'));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// Bytes as a string of the same char codes (the 6-bit text is ASCII; any
// other byte keeps its value for display).
function byteString(bytes) {
  let out = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    out += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return out;
}

// The stream cannot be cut any further: a header announced a negative or
// too large body, or a text line did not end.
export class TStreamError extends Error {}

// Cuts the byte stream into items:
//   { kind: 'message', header: TDefaultMessage, body: Uint8Array }
//   { kind: 'text', text }           for "#" text "!"
export class TMessageReader {
  // Limits against a broken stream, which would otherwise be held for ever.
  constructor(codec, { maxBody = 16 << 20, maxTextLine = 1 << 20 } = {}) {
    this.codec = codec;
    this.maxBody = maxBody;
    this.maxTextLine = maxTextLine;
    this.buffer = new Uint8Array(0);
  }

  // Bytes held for an item not yet complete.
  get buffered() {
    return this.buffer.length;
  }

  // The items the chunk completes; throws TStreamError (and drops what it
  // holds) when the stream is broken.
  push(chunk) {
    if (this.buffer.length === 0) {
      this.buffer = chunk.slice();
    } else {
      const joined = new Uint8Array(this.buffer.length + chunk.length);
      joined.set(this.buffer);
      joined.set(chunk, this.buffer.length);
      this.buffer = joined;
    }
    const items = [];
    let at = 0;
    try {
      for (;;) {
        const rest = this.buffer.length - at;
        if (rest === 0) break;
        if (this.buffer[at] === 0x23 /* # */) {
          const end = this.buffer.indexOf(0x21 /* ! */, at + 1);
          if (end < 0) {
            if (rest > this.maxTextLine) throw new TStreamError(`text line longer than ${this.maxTextLine} bytes`);
            break;
          }
          items.push({ kind: 'text', text: new TextDecoder().decode(this.buffer.subarray(at + 1, end)) });
          at = end + 1;
          continue;
        }
        if (rest < DEFBLOCKSIZE) break;
        const header = this.codec.decodeMessage(byteString(this.buffer.subarray(at, at + DEFBLOCKSIZE)));
        if (header.nLength < 0 || header.nLength > this.maxBody) {
          throw new TStreamError(`message ${header.Ident} announces a body of ${header.nLength} bytes`);
        }
        if (rest < DEFBLOCKSIZE + header.nLength) break;
        const body = this.buffer.slice(at + DEFBLOCKSIZE, at + DEFBLOCKSIZE + header.nLength);
        items.push({ kind: 'message', header, body });
        at += DEFBLOCKSIZE + header.nLength;
      }
    } catch (err) {
      this.buffer = new Uint8Array(0);
      throw err;
    }
    this.buffer = this.buffer.slice(at);
    return items;
  }
}

// The body bytes the gateway's code page (GBK) gives for a text: one per
// ASCII character, two for others, one for what GBK lacks (it becomes "?").
// The gateway converts client text to GBK before it reads nLength.
export function gbkLength(text) {
  let n = 0;
  for (const ch of text) {
    const code = ch.codePointAt(0);
    n += code < 0x80 || code > 0xffff ? 1 : 2;
  }
  return n;
}

// A message body turned into what it says: inflated when nIsZlib is 1, then
// read as 6-bit text of UTF-8 and, when it is one, a JSON value.
export async function readBody(codec, header, body) {
  let bytes = body;
  if (header.nIsZlib === 1 && bytes.length > 0) bytes = await inflateBody(bytes);
  const raw = byteString(bytes);
  const text = codec.decodeString(raw);
  let json = null;
  if (text && (text[0] === '{' || text[0] === '[')) {
    try { json = JSON.parse(text); } catch { json = null; }
  }
  return { raw, text, json, inflatedLength: bytes.length };
}

// Closes the gateway starts itself: each ends the session for this client
// (4008: another connection has taken it over), so a resume after one would
// only be refused.
function endedByGateway(code) {
  return code === 1000 || code === 1001 || code === 1007 || code === 1009 || (code >= 4000 && code <= 4999);
}

// Refusals of a new connection (too many from this address, no free record,
// no game server) before the gateway reads its first message: the session
// it would have resumed is untouched, so a later attempt may still succeed.
function refusedAtAdmission(code) {
  return code === 4003 || code === 4004 || code === TRY_AGAIN_LATER;
}

// The gateway's close for an expired, unknown or reused token, or an offset
// it no longer keeps: the session is gone.
export const RESUME_REFUSED = 4007;

// dropConnection's close code: not one the gateway sends, so the gateway
// keeps the session for its grace as it does for a lost connection.
export const DROP_CODE = 4900;

const TOKEN_MESSAGE = /^resume ([0-9a-f]{32})$/;

const RESUME_DEFAULTS = { giveUpAfterMs: 60000, attemptTimeoutMs: 10000 };

// The gateway's close while its game server is unavailable: come back later.
export const TRY_AGAIN_LATER = 1013;

const RETRY_DEFAULTS = { giveUpAfterMs: 60000 };

// The gateway's close when it hands itself over to a new image (SIGUSR2):
// the session waits on the new image, which is up at once, so the first
// resume goes without a wait.
export const SERVICE_RESTART = 1012;

// 0.5 s doubling to 8 s, each wait spread by ±30% so that clients dropped
// together (a gateway's network blip) do not all come back at once.
function resumeDelay(attempt, random) {
  const base = Math.min(500 * 2 ** Math.min(attempt - 1, 5), 8000);
  return Math.round(base * (1 + 0.3 * (2 * random() - 1)));
}

const SYSTEM_CLOCK = {
  now: () => performance.now(),
  setTimeout: (fn, ms) => setTimeout(fn, ms),
  clearTimeout: (id) => clearTimeout(id),
};

// One gateway session. Options: codec (a TCodec) or tables (for one),
// neither meaning the identity tables and zero keys; WebSocket, the class
// to connect with (the global one by default); maxBody and maxTextLine for
// the reader; resume and retryUnavailable (below); clock ({ now,
// setTimeout, clearTimeout }) and random (like Math.random) for the waits.
// Events (EventTarget):
//   'open'          the gateway answered "ok": log in now
//   'message'       detail { header, body, raw, text, json, inflatedLength }
//   'text'          detail { text } for a "#...!" line
//   'error'         detail { error } when the stream broke (the socket is closed)
//   'reconnecting'  detail { attempt, delayMs }: the connection was lost, a
//                   resume is tried after delayMs
//   'resumed'       detail { attempt, received }: the session goes on, from
//                   byte `received` of the stream
//   'resumerefused' detail { code, reason }: the session is gone, log in again
//   'retrying'      detail { attempt, delayMs, code, reason }: the gateway's
//                   game server is unavailable (1013); connecting again after delayMs
//   'close'         detail { code, reason } once the session has ended
//
// Game server unavailable (retryUnavailable: true by default, or
// { giveUpAfterMs = 60000 }; false: 1013 ends the session like any close):
// the gateway closes a new connection, or with [Resume] its login text, with
// 1013 while its link to the game server is down. The client connects again
// after the resume's waits, sends the login text again if it had sent one,
// and connect() resolves at the first "ok"; no attempt starts later than
// giveUpAfterMs after the first 1013, and then the session closes with 1013.
// While it waits send() returns false.
//
// Resume (resume: true, or { giveUpAfterMs = 60000, attemptTimeoutMs = 10000 }):
// when the gateway has handed out a resume token and the connection ends
// other than by close() or a close of the gateway's own, the client connects
// again (at once after 1012, the gateway's hand-over; after the waits above
// otherwise) and asks for the session with the token and the count of stream
// bytes it has received; the gateway sends what followed, and the reader
// goes on where it was. No attempt starts later than giveUpAfterMs after the
// loss; one without an answer is given up after attemptTimeoutMs. While
// reconnecting, send() drops the message and returns false: what the client
// sends is at most once across a resume, so the application repeats what it
// still needs once 'resumed' comes.
export class TGateClient extends EventTarget {
  constructor(url, {
    codec, tables, WebSocket: Socket = globalThis.WebSocket, maxBody, maxTextLine,
    resume = false, retryUnavailable = true, clock = SYSTEM_CLOCK, random = Math.random,
  } = {}) {
    super();
    if (codec && tables) throw new Error('TGateClient: give either codec or tables');
    this.url = url;
    this.codec = codec ?? new TCodec(tables);
    this.reader = new TMessageReader(this.codec, { maxBody, maxTextLine });
    this.Socket = Socket;
    this.socket = null;
    this.queue = Promise.resolve();  // keeps decoded messages and events in arrival order
    this.resumeOptions = resume ? { ...RESUME_DEFAULTS, ...(resume === true ? {} : resume) } : null;
    this.clock = clock;
    this.random = random;
    this.state = 'new';  // 'connecting', 'open', 'reconnecting', 'closed'
    this.resumeToken = null;
    this.received = 0;  // binary bytes of the session, every connection's
    this.ending = false;  // close() or a broken stream: no resume after this connection
    this.dropped = null;  // the socket dropConnection closed
    this.retry = null;  // while reconnecting: { attempt, deadline, timer }
    this.retryOptions = retryUnavailable
      ? { ...RETRY_DEFAULTS, ...(retryUnavailable === true ? {} : retryUnavailable) } : null;
    this.unavailable = null;  // since the first 1013: { attempt, deadline }
    this.loginText = null;  // sent again on a connection after a 1013
    this.pending = null;  // connect()'s, until the gateway says "ok"
  }

  connect() {
    return new Promise((resolve, reject) => {
      this.pending = { resolve, reject };
      this.openFresh();
    });
  }

  // A connection for a new session: the first one, or the next after the
  // gateway said 1013, which then gets the login text again by itself.
  openFresh() {
    const socket = this.openSocket();
    this.state = 'connecting';
    let opened = false;
    socket.onmessage = (e) => {
      if (typeof e.data === 'string') {
        if (e.data === 'ok' && !opened) {
          opened = true;
          this.state = 'open';
          // With resume on the gateway asks the game server at the login text.
          if (!this.resumeOptions) this.unavailable = null;
          if (this.loginText !== null) socket.send(this.loginText);
          const pending = this.pending;
          this.pending = null;
          if (pending) {
            this.dispatchEvent(new CustomEvent('open'));
            pending.resolve();
          }
        } else {
          this.takeToken(e.data);
        }
        return;
      }
      this.receive(socket, e.data);
    };
    socket.onclose = (e) => {
      if (e.code === TRY_AGAIN_LATER && this.waitUnavailable(socket, e)) return;
      this.lost(socket, e);
    };
    socket.onerror = () => {
      if (opened || !this.pending) return;
      this.pending.reject(new Error('connection failed'));
      this.pending = null;
    };
  }

  // 1013 before the gateway holds a session for this client: it is tried
  // again after the resume's waits, within retryUnavailable.giveUpAfterMs of
  // the first 1013; false when that time is up.
  waitUnavailable(socket, e) {
    if (!this.retryOptions || socket !== this.socket || this.state === 'closed' || this.ending
      || this.resumeToken !== null) return false;
    const now = this.clock.now();
    this.unavailable ??= { attempt: 0, deadline: now + this.retryOptions.giveUpAfterMs };
    const attempt = ++this.unavailable.attempt;
    const delayMs = resumeDelay(attempt, this.random);
    if (now + delayMs > this.unavailable.deadline) {
      this.unavailable = null;
      return false;
    }
    this.state = 'reconnecting';
    this.later('retrying', { attempt, delayMs, code: e.code, reason: e.reason });
    this.retry = { attempt, deadline: this.unavailable.deadline, timer: null };
    this.retry.timer = this.clock.setTimeout(() => {
      this.retry = null;
      this.openFresh();
    }, delayMs);
    return true;
  }

  openSocket() {
    const socket = new this.Socket(this.url);
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    return socket;
  }

  takeToken(text) {
    const match = TOKEN_MESSAGE.exec(text);
    if (!match) return;
    this.resumeToken = match[1];
    this.unavailable = null;  // the login went to the game server
  }

  receive(socket, data) {
    const chunk = new Uint8Array(data);
    this.received += chunk.length;
    let items;
    try {
      items = this.reader.push(chunk);
    } catch (error) {
      this.dispatchEvent(new CustomEvent('error', { detail: { error } }));
      // The reader dropped what it held, so no resume could pick up from here.
      this.ending = true;
      this.closeSocket(socket);
      return;
    }
    for (const item of items) this.deliver(item);
  }

  // With resume on, 1000 tells the gateway the session ends here: any other
  // close only detaches it.
  closeSocket(socket) {
    if (this.resumeOptions) socket.close(1000);
    else socket.close();
  }

  // The session's connection (the first or a resumed one) has closed.
  lost(socket, e) {
    if (socket !== this.socket || this.state === 'closed') return;
    const resumable = this.resumeOptions !== null && this.resumeToken !== null && !this.ending
      && (socket === this.dropped || !endedByGateway(e.code));
    if (!resumable) {
      this.finish(e);
      return;
    }
    this.state = 'reconnecting';
    this.retry = {
      attempt: 0, deadline: this.clock.now() + this.resumeOptions.giveUpAfterMs, timer: null,
      waitless: e.code === SERVICE_RESTART && socket !== this.dropped ? 1 : 0,
    };
    this.scheduleResume(e);
  }

  finish({ code, reason }) {
    this.state = 'closed';
    this.retry = null;
    if (this.pending) {
      this.pending.reject(new Error(`connection closed (${code})`));
      this.pending = null;
    }
    this.later('close', { code, reason });
  }

  // After the messages that came before.
  later(type, detail) {
    this.queue = this.queue.then(() => {
      this.dispatchEvent(new CustomEvent(type, { detail }));
    });
  }

  scheduleResume(lastClose) {
    const retry = this.retry;
    retry.attempt += 1;
    const delayMs = retry.attempt <= retry.waitless ? 0 : resumeDelay(retry.attempt - retry.waitless, this.random);
    if (this.clock.now() + delayMs > retry.deadline) {
      this.finish(lastClose);
      return;
    }
    this.later('reconnecting', { attempt: retry.attempt, delayMs });
    retry.timer = this.clock.setTimeout(() => this.tryResume(), delayMs);
  }

  tryResume() {
    const retry = this.retry;
    const socket = this.openSocket();
    let phase = 'connecting';  // then 'asked', 'resumed'
    let received = 0;
    retry.timer = this.clock.setTimeout(() => {
      // Not 1000, which would end a session this connection may already hold.
      socket.onmessage = null;
      socket.onclose = null;
      socket.close(DROP_CODE, 'no answer');
      this.scheduleResume({ code: 1006, reason: 'no answer' });
    }, this.resumeOptions.attemptTimeoutMs);
    socket.onmessage = (e) => {
      if (this.state === 'closed') return;
      if (typeof e.data !== 'string') {
        this.receive(socket, e.data);
      } else if (e.data === 'ok' && phase === 'connecting') {
        phase = 'asked';
        received = this.received;
        socket.send(this.frame(0, { body: `*@${this.resumeToken}/${received}` }));
      } else if (phase === 'asked' && TOKEN_MESSAGE.test(e.data)) {
        phase = 'resumed';
        this.clock.clearTimeout(retry.timer);
        this.takeToken(e.data);
        this.retry = null;
        this.state = 'open';
        this.later('resumed', { attempt: retry.attempt, received });
      } else if (phase === 'resumed') {
        this.takeToken(e.data);
      }
    };
    socket.onclose = (e) => {
      if (phase === 'resumed') {
        this.lost(socket, e);
        return;
      }
      if (socket !== this.socket || this.state !== 'reconnecting') return;
      this.clock.clearTimeout(retry.timer);
      if (e.code === RESUME_REFUSED) {
        this.later('resumerefused', { code: e.code, reason: e.reason });
        this.finish(e);
      } else if (endedByGateway(e.code) && !refusedAtAdmission(e.code)) {
        this.finish(e);
      } else {
        this.scheduleResume(e);
      }
    };
  }

  deliver(item) {
    if (item.kind === 'text') {
      this.queue = this.queue.then(() => {
        this.dispatchEvent(new CustomEvent('text', { detail: { text: item.text } }));
      });
      return;
    }
    this.queue = this.queue.then(async () => {
      let decoded;
      try {
        decoded = await readBody(this.codec, item.header, item.body);
      } catch (err) {
        decoded = { raw: '', text: '', json: null, inflatedLength: 0, error: String(err) };
      }
      this.dispatchEvent(new CustomEvent('message', { detail: { header: item.header, body: item.body, ...decoded } }));
    });
  }

  // Ends the session, also while reconnecting.
  close() {
    if (this.state === 'reconnecting') {
      this.clock.clearTimeout(this.retry.timer);
      const attempt = this.socket;
      this.finish({ code: 1000, reason: '' });
      attempt.close(1000);
      return;
    }
    if (this.socket) {
      this.ending = true;
      this.closeSocket(this.socket);
    }
  }

  // Ends the connection as a network loss would, keeping the session: for
  // demos and tests of the resume. False when there is no open connection.
  dropConnection(code = DROP_CODE, reason = 'connection dropped') {
    if (this.state !== 'open') return false;
    this.dropped = this.socket;
    this.socket.close(code, reason);
    return true;
  }

  // One client message: the encoded header, then the body as plain text.
  frame(ident, { recog = 0, param = 0, tag = 0, series = 0, body = '' } = {}) {
    const header = new TDefaultMessage({
      Recog: recog, Ident: ident, Param: param, Tag: tag, Series: series, nLength: gbkLength(body),
    });
    return this.codec.encodeMessage(header) + body;
  }

  // False when the message was dropped: while reconnecting, or after the
  // session ended.
  send(ident, fields) {
    if (this.state === 'reconnecting' || this.state === 'closed') return false;
    this.socket.send(this.frame(ident, fields));
    return true;
  }

  // The first message: "*#" account/name/user id/client version and six more fields.
  login(account, name, userId, version = 1) {
    if (this.state === 'reconnecting' || this.state === 'closed') return false;
    this.loginText = this.frame(0, { body: `*#${account}/${name}/${userId}/${version}/0/0/0/0/0/0` });
    this.socket.send(this.loginText);
    return true;
  }

  loginNoticeOk() {
    return this.send(Idents.CM_LOGINNOTICEOK);
  }

  // A step to (x, y) facing dir; Series carries where it started, which a
  // refusal (SM_MOVEFAIL) hands back for the client to return to.
  walk(x, y, dir, fromX = x, fromY = y) {
    return this.send(Idents.CM_WALK, { recog: makeLong(x, y), tag: dir, series: makeLong(fromX, fromY) });
  }

  // A spell as the gateway expects it: a JSON body, which it turns into the
  // header fields the game server reads.
  spell({ skillID, dir = 0, srcX = 0, srcY = 0, destX = 0, destY = 0, targetID = '' }) {
    const body = JSON.stringify({ skillID, dir, srcX, srcY, destX, destY, targetID, time: Date.now() });
    return this.send(Idents.CM_SPELL, { body });
  }

  heartbeat() {
    return this.send(Idents.CM_HEART);
  }
}
