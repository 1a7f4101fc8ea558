// trirotor page worker: runs the engine away from the page, so the page
// never freezes. The engine's pauses post its progress, its pointer changes
// post the pointer code; the page stops a run by ending this worker.
//
// In the single file the engine's script comes first in the same blob; when
// served, it is loaded beside this one.
/* global TrirotorEngine, importScripts */
'use strict';

if (typeof TrirotorEngine === 'undefined') importScripts('trirotor_engine.js');

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

self.onmessage = (event) => {
  if (engine) run(event.data);
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
  });
  waiting.splice(0).forEach(run);
}, (error) => postMessage({ type: 'failed', text: String(error) }));
