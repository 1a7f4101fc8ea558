// trirotor page worker: runs the engine away from the page, so the page
// never freezes. The engine's pauses post its progress, its pointer changes
// post the pointer code; the page stops a run by ending this worker.
//
// In the single file the engine's script and the zip library come first in
// the same blob; when served, they are loaded beside this one.
/* global TrirotorEngine, fflate, importScripts */
'use strict';

if (typeof TrirotorEngine === 'undefined') importScripts('trirotor_engine.js', 'fflate.js');

// The engine's WebAssembly sits inside its script as a data: URL, which the
// engine would fetch when it can and decode itself when it cannot. The page's
// policy allows no connection of any kind, a data: URL's included, so the
// engine is given no fetch: nothing is refused, and this worker reaches
// nothing either.
self.fetch = undefined;

let engine = null;
const waiting = [];

function run(request) {
  const setting = engine.setCodePage(request.codePage);
  let outcome = setting;
  if (!setting.failure && !setting.error) {
    outcome = request.type === 'decode'
      ? engine.decode(request.message, request.key, request.suffix)
      : engine.encode(request.plain, request.key, request.suffix, 76);
  }
  const transfer = [];
  if (outcome.text) transfer.push(outcome.text.buffer);
  if (outcome.message) transfer.push(outcome.message.buffer);
  postMessage({ type: 'done', id: request.id, outcome }, transfer);
}

/// Several files: one decoded at a time, as the archive run of the tool
/// decodes each, and the zip of the texts and the report ///

// Base64 digits, ASCII or fullwidth (the tool reads fullwidth digits in a
// UTF-8 file as their ASCII look-alikes).
function isDigit(c) {
  const ascii = c >= 0xFF00 && c <= 0xFF5E ? c - 0xFEE0 : c;
  return (ascii >= 65 && ascii <= 90) || (ascii >= 97 && ascii <= 122) || (ascii >= 48 && ascii <= 57) ||
    ascii === 43 || ascii === 47;
}

// Fewer than four base64 digits make no group: nothing to decrypt.
function hasBase64Group(bytes) {
  let digits = 0;
  let wide = false;
  for (const b of bytes) {
    if (b >= 0x80) wide = true;
    else if (isDigit(b) && ++digits === 4) return true;
  }
  if (!wide) return false;
  digits = 0;
  for (const c of new TextDecoder('utf-8').decode(bytes)) {
    if (isDigit(c.codePointAt(0)) && ++digits === 4) return true;
  }
  return false;
}

// Binary bytes no text message holds: the C0 controls but tab, the line
// ends, form feed, vertical tab and the old end-of-file mark (0x1A), and
// DEL; NUL too, but in a file that starts as UTF-16 does. Asked only of a
// file no key opens.
function looksBinary(bytes) {
  const utf16 = bytes.length >= 2 && ((bytes[0] === 0xFF && bytes[1] === 0xFE) || (bytes[0] === 0xFE && bytes[1] === 0xFF));
  for (const b of bytes) {
    if (b === 0) {
      if (!utf16) return true;
    } else if ((b < 0x20 && b !== 9 && b !== 10 && b !== 13 && b !== 12 && b !== 11 && b !== 0x1A) || b === 0x7F) {
      return true;
    }
  }
  return false;
}

// SHA-256 in lowercase hex, or null where the browser offers no digest
// (crypto.subtle exists only in a secure context; file:// and localhost are).
async function sha256(bytes) {
  if (!self.crypto || !self.crypto.subtle) return null;
  const digest = new Uint8Array(await self.crypto.subtle.digest('SHA-256', bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
}

function textOf(units) {
  const parts = [];
  for (let i = 0; i < units.length; i += 8192) parts.push(String.fromCharCode.apply(null, units.subarray(i, i + 8192)));
  return parts.join('');
}

// One file: what the archive run's report line says of it, and its text as
// UTF-8 when there is one.
async function decodeFile(request) {
  const bytes = request.message;
  const found = { size: bytes.length, sha256: await sha256(bytes) };
  const setting = engine.setCodePage(request.codePage);
  if (setting.failure || setting.error) return { failure: setting.failure || setting.error.description };
  if (!hasBase64Group(bytes)) {
    return { ...found, outcome: 'not a message', detail: 'not a message: it has no group of four base64 characters' };
  }
  const outcome = engine.decode(bytes, request.key, request.suffix);
  if (outcome.failure) return { failure: outcome.failure };
  if (outcome.error) {
    const e = outcome.error;
    return {
      ...found, outcome: 'damaged', engineError: e,
      detail: `the message is damaged: error ${e.number} in ${e.source}: ${e.description}`,
    };
  }
  if (outcome.status === 'frame-failed') {
    if (looksBinary(bytes)) return { ...found, outcome: 'not a message', detail: 'not a message: it holds binary bytes' };
    return {
      ...found, outcome: 'wrong key or suffix', lastError: 33,
      detail: `${engine.errorMessage(33)}: wrong key or key suffix, or not a whole message`,
    };
  }
  const text = new TextEncoder().encode(textOf(outcome.text));
  const done = { ...found, lastError: outcome.lastError, text, outputSize: text.length, outputSha256: await sha256(text) };
  if (outcome.status === 'checksum-mismatch') {
    return { ...done, outcome: 'checksum mismatch', detail: `${engine.errorMessage(5)}: the text is written all the same` };
  }
  return { ...done, outcome: 'opened' };
}

// {path: Uint8Array} to one zip, each text compressed.
function makeZip(files) {
  if (typeof fflate === 'undefined') return { failure: 'this copy of the page was built without its zip library' };
  return { zip: fflate.zipSync(files, { level: 6 }) };
}

function handle(request) {
  if (request.type === 'decode-file') {
    decodeFile(request).then((outcome) => {
      postMessage({ type: 'done', id: request.id, outcome }, outcome.text ? [outcome.text.buffer] : []);
    });
  } else if (request.type === 'zip') {
    let outcome;
    try {
      outcome = makeZip(request.files);
    } catch (error) {
      outcome = { failure: String(error) };
    }
    postMessage({ type: 'done', id: request.id, outcome }, outcome.zip ? [outcome.zip.buffer] : []);
  } else {
    run(request);
  }
}

self.onmessage = (event) => {
  if (engine) handle(event.data);
  else waiting.push(event.data);
};

TrirotorEngine().then((module) => {
  engine = module;
  engine.setHooks(
    (value) => postMessage({ type: 'progress', value }),
    (code) => postMessage({ type: 'pointer', code }));
  postMessage({
    type: 'ready',
    messages: { 5: engine.errorMessage(5), 33: engine.errorMessage(33) },
    shortestMessage: engine.shortestMessage,
    pages: engine.supportedCodePages(),
    version: engine.version(),
    zip: typeof fflate !== 'undefined',
  });
  waiting.splice(0).forEach(handle);
}, (error) => postMessage({ type: 'failed', text: String(error) }));
