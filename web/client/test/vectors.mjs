// Vectors from the gateway's own codec, made now by tavrel-codec-vectors
// with random tables and keys (TAVREL_CODEC_VECTORS_BIN names it, else the
// release build's; TAVREL_CODEC_SEED repeats a run).
import { execFileSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const bin = process.env.TAVREL_CODEC_VECTORS_BIN ?? path.join(root, 'build/release/tavrel-codec-vectors');
if (!existsSync(bin)) {
  throw new Error(`${bin} not found: build the target tavrel-codec-vectors or set TAVREL_CODEC_VECTORS_BIN`);
}

const args = process.env.TAVREL_CODEC_SEED ? [process.env.TAVREL_CODEC_SEED] : [];
export const vectors = JSON.parse(execFileSync(bin, args, { encoding: 'utf8', timeout: 30000, maxBuffer: 64 << 20 }));
// In every assertion message, so that a failure can be repeated.
export const seed = `seed ${vectors.seed} (TAVREL_CODEC_SEED=${vectors.seed})`;

export function fromHex(hex) {
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = Number.parseInt(hex.substr(i * 2, 2), 16);
  return out;
}

export function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

// Bytes as a string of the same char codes, as the reader hands them over.
export function latin1(bytes) {
  return String.fromCharCode(...bytes);
}

export function fields(msg) {
  const { Recog, Ident, Param, Tag, Series, nSessionID, nIsZlib, nLength, nIndex } = msg;
  return { Recog, Ident, Param, Tag, Series, nSessionID, nIsZlib, nLength, nIndex };
}
