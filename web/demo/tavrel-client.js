// TavrelH5 reference client: what a browser client needs to talk to the
// gateway. Copy this module; it has no dependencies.
//
//   - TCodec: the 6-bit codec with the deployment's substitution tables and
//     keys (fetch them from the gateway's console with fetchCodecTables).
//   - TDefaultMessage: the 36-byte message header (nine little-endian int32).
//   - TMessageReader: cuts the gateway's binary stream into messages. A
//     binary WebSocket message may end inside a client message, so the
//     reader keeps what is left over for the next one.
//   - inflateBody: zlib bodies (nIsZlib = 1) through DecompressionStream.
//   - TGateClient: a connection that logs in and sends game requests.
//
// A client message, both ways: 48 characters of encoded header, then
// nLength body bytes. Towards the client most bodies are 6-bit text of UTF-8
// JSON, inflated first when nIsZlib is 1; a plain text line comes as
// "#" text "!" instead. Towards the gateway a message is one WebSocket text
// message, its body plain text (the login line, a spell's JSON).

export const DEFBLOCKSIZE = 48;

export const CM_LOGINNOTICEOK = 1018;
export const CM_TURN = 3010;
export const CM_WALK = 3011;
export const CM_RUN = 3013;
export const CM_HIT = 3014;
export const CM_SPELL = 3017;
export const CM_HEART = 60000;
export const SM_SYSMESSAGE = 100;

const FIELDS = ['Recog', 'Ident', 'Param', 'Tag', 'Series', 'nSessionID', 'nIsZlib', 'nLength', 'nIndex'];

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

function parseTable(hex) {
  if (typeof hex !== 'string' || hex.length !== 512) throw new Error('codec table: expected 512 hex digits');
  const table = new Uint8Array(256);
  for (let i = 0; i < 256; i++) table[i] = Number.parseInt(hex.substr(i * 2, 2), 16);
  return table;
}

export class TCodec {
  // tables: { EncodeBitMasks, DecodeBitMasks (512 hex digits each),
  //           n4CEEF4, n4CEEF8, n4CEEFC, w4CEF00 }, as the console serves them.
  constructor(tables) {
    const enc = parseTable(tables.EncodeBitMasks);
    const dec = parseTable(tables.DecodeBitMasks);
    const k4 = tables.n4CEEF4 & 0xff;
    const k8 = ((tables.n4CEEF8 & 0xff) + ((tables.n4CEEF8 >> 8) & 0xff)) & 0xff;
    const encKey = tables.n4CEEFC & 0xff;
    const decKey = tables.w4CEF00 & 0xff;
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
    let hex = '';
    for (let i = 0; i < 256; i++) hex += i.toString(16).padStart(2, '0');
    return new TCodec({ EncodeBitMasks: hex, DecodeBitMasks: hex, n4CEEF4: 0, n4CEEF8: 0, n4CEEFC: 0, w4CEF00: 0 });
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

  // A character below "<" anywhere makes the result empty; bits of an
  // incomplete last byte are dropped.
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

// The deployment's codec tables and the gateway's port, from its console
// (GET /api/codec). A console with a token needs it here.
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

// Cuts the byte stream into items:
//   { kind: 'message', header: TDefaultMessage, body: Uint8Array }
//   { kind: 'text', text }           for "#" text "!"
export class TMessageReader {
  constructor(codec) {
    this.codec = codec;
    this.buffer = new Uint8Array(0);
  }

  push(chunk) {
    const joined = new Uint8Array(this.buffer.length + chunk.length);
    joined.set(this.buffer);
    joined.set(chunk, this.buffer.length);
    this.buffer = joined;
    const items = [];
    let at = 0;
    for (;;) {
      const rest = this.buffer.length - at;
      if (rest === 0) break;
      if (this.buffer[at] === 0x23 /* # */) {
        const end = this.buffer.indexOf(0x21 /* ! */, at + 1);
        if (end < 0) break;
        items.push({ kind: 'text', text: new TextDecoder().decode(this.buffer.subarray(at + 1, end)) });
        at = end + 1;
        continue;
      }
      if (rest < DEFBLOCKSIZE) break;
      const header = this.codec.decodeMessage(byteString(this.buffer.subarray(at, at + DEFBLOCKSIZE)));
      const length = Math.max(header.nLength, 0);
      if (rest < DEFBLOCKSIZE + length) break;
      const body = this.buffer.slice(at + DEFBLOCKSIZE, at + DEFBLOCKSIZE + length);
      items.push({ kind: 'message', header, body });
      at += DEFBLOCKSIZE + length;
    }
    this.buffer = this.buffer.slice(at);
    return items;
  }
}

// The body bytes the gateway's code page (GBK) gives for a text: one per
// ASCII character, two for others. The gateway converts client text to GBK
// before it reads nLength.
export function gbkLength(text) {
  let n = 0;
  for (const ch of text) n += ch.codePointAt(0) < 0x80 ? 1 : 2;
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

// One gateway connection. Events (EventTarget):
//   'open'     the gateway answered "ok": log in now
//   'message'  detail { header, body, raw, text, json, inflatedLength }
//   'text'     detail { text } for a "#...!" line
//   'close'    detail { code, reason }
export class TGateClient extends EventTarget {
  constructor(url, codec) {
    super();
    this.url = url;
    this.codec = codec;
    this.reader = new TMessageReader(codec);
    this.socket = null;
    this.queue = Promise.resolve();  // keeps decoded messages in arrival order
  }

  connect() {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(this.url);
      socket.binaryType = 'arraybuffer';
      this.socket = socket;
      let opened = false;
      socket.onmessage = (e) => {
        if (typeof e.data === 'string') {
          if (e.data === 'ok' && !opened) {
            opened = true;
            this.dispatchEvent(new CustomEvent('open'));
            resolve();
          }
          return;
        }
        for (const item of this.reader.push(new Uint8Array(e.data))) this.deliver(item);
      };
      socket.onclose = (e) => {
        if (!opened) reject(new Error(`connection closed (${e.code})`));
        this.dispatchEvent(new CustomEvent('close', { detail: { code: e.code, reason: e.reason } }));
      };
      socket.onerror = () => { if (!opened) reject(new Error('connection failed')); };
    });
  }

  deliver(item) {
    if (item.kind === 'text') {
      this.dispatchEvent(new CustomEvent('text', { detail: { text: item.text } }));
      return;
    }
    this.queue = this.queue.then(async () => {
      let decoded;
      try {
        decoded = await readBody(this.codec, item.header, item.body);
      } catch (err) {
        decoded = { raw: '', text: '', json: null, error: String(err) };
      }
      this.dispatchEvent(new CustomEvent('message', { detail: { header: item.header, body: item.body, ...decoded } }));
    });
  }

  close() {
    if (this.socket) this.socket.close();
  }

  // One client message: the encoded header, then the body as plain text.
  send(ident, { recog = 0, param = 0, tag = 0, series = 0, body = '' } = {}) {
    const header = new TDefaultMessage({
      Recog: recog, Ident: ident, Param: param, Tag: tag, Series: series, nLength: gbkLength(body),
    });
    this.socket.send(this.codec.encodeMessage(header) + body);
  }

  // The first message: "*#" account/name/user id/client version and six more fields.
  login(account, name, userId, version = 1) {
    this.send(0, { body: `*#${account}/${name}/${userId}/${version}/0/0/0/0/0/0` });
  }

  loginNoticeOk() {
    this.send(CM_LOGINNOTICEOK);
  }

  // A step to (x, y) facing dir; Series carries where it started, which a
  // refusal (SM_MOVEFAIL) hands back for the client to return to.
  walk(x, y, dir, fromX = x, fromY = y) {
    this.send(CM_WALK, { recog: makeLong(x, y), tag: dir, series: makeLong(fromX, fromY) });
  }

  // A spell as the gateway expects it: a JSON body, which it turns into the
  // header fields the game server reads.
  spell({ skillID, dir = 0, srcX = 0, srcY = 0, destX = 0, destY = 0, targetID = '' }) {
    const body = JSON.stringify({ skillID, dir, srcX, srcY, destX, destY, targetID, time: Date.now() });
    this.send(CM_SPELL, { body });
  }

  heartbeat() {
    this.send(CM_HEART);
  }
}
