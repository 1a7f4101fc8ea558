// trirotor page: the controls, the worker that runs the engine, the status
// line in the engine's own words.
'use strict';

(() => {
  const DEFAULT_CODE_PAGE = 1252;
  const MAX_FILE_BYTES = 256 * 1024 * 1024;
  const SHOWN_INPUT_BYTES = 1024 * 1024;   // larger files are used as they are, not shown
  const SHOWN_RESULT_CHARS = 1000000;      // Copy and Save take the whole result
  const HINT_FRAME = 'wrong key or key suffix, or the input is not a whole message';
  const HINT_DAMAGED = 'the message is damaged';

  const $ = (id) => document.getElementById(id);
  const input = $('input');
  const fileInput = $('file');
  const inputNote = $('input-note');
  const key = $('key');
  const showKey = $('show-key');
  const suffix = $('suffix');
  const codePage = $('codepage');
  const decodeButton = $('decode');
  const encodeButton = $('encode');
  const abortButton = $('abort');
  const progress = $('progress');
  const status = $('status');
  const statusLine = $('status-line');
  const statusHint = $('status-hint');
  const statusWarnings = $('status-warnings');
  const result = $('result');
  const copyButton = $('copy');
  const saveButton = $('save');
  const filesInput = $('files');
  const folderInput = $('folder');
  const batchNote = $('batch-note');
  const decodeAllButton = $('decode-all');
  const saveZipButton = $('save-zip');
  const batchTable = $('batch-table');
  const batchRows = $('batch-rows');

  let worker = null;
  let ready = false;
  let running = null;       // {id, kind} while the engine works
  let nextId = 1;
  let focusWhenReady = false;
  let loaded = null;        // {name, bytes} of the file last opened, until the text is edited
  let resultText = '';
  let resultKind = '';      // 'decode' or 'encode'
  let shortestMessage = 0;  // the engine's, sent by the worker when it is ready (nothing runs before)
  let engineMessages = {};  // the engine's texts for 5 and 33, sent by the worker when it is ready
  let toolVersion = '';     // the version the report names, sent by the worker when it is ready
  let zipAvailable = false; // whether this copy carries its zip library
  const replies = new Map(); // id -> resolve, for the requests of a run over several files

  // The pages the engine offers, as it lists them, those that convert by
  // Windows' own tables marked as the tool marks them; the default selected.
  function listCodePages(pages) {
    if (codePage.options.length > 0) return;
    for (const page of pages) {
      const option = document.createElement('option');
      option.value = String(page.number);
      const tables = page.windowsTables ? "; Windows' own tables, best fit included" : '';
      option.textContent = `${page.number} – ${page.description} (${page.name}${tables})`;
      option.selected = page.number === DEFAULT_CODE_PAGE;
      codePage.append(option);
    }
  }

  /// Status ///

  // `warnings`: what the engine made of key characters the page lacks, one
  // line each.
  function setStatus(line, hint = '', bad = false, warnings = []) {
    statusLine.textContent = line;
    statusHint.textContent = hint;
    statusWarnings.textContent = warnings.map((warning) => `Warning: ${warning}.`).join('\n');
    status.classList.toggle('bad', bad);
  }

  function setPointer(code) {
    document.documentElement.classList.toggle('busy', code === 11);
  }

  function updateButtons() {
    const idle = ready && !running;
    decodeButton.disabled = !idle;
    encodeButton.disabled = !idle;
    decodeAllButton.disabled = !idle || batchEntries.length === 0;
    saveZipButton.disabled = !!running || batchZip === null;
    abortButton.disabled = !running;
    copyButton.disabled = resultText === '';
    saveButton.disabled = resultText === '';
  }

  /// Text as UTF-16 units, both ways, without loss ///

  function units(text) {
    const array = new Uint16Array(text.length);
    for (let i = 0; i < text.length; i += 1) array[i] = text.charCodeAt(i);
    return array;
  }

  function fromUnits(array) {
    const parts = [];
    for (let i = 0; i < array.length; i += 8192) {
      parts.push(String.fromCharCode.apply(null, array.subarray(i, i + 8192)));
    }
    return parts.join('');
  }

  const count = (n) => n.toLocaleString('en');

  /// The worker ///

  function workerSource() {
    const embedded = document.getElementById('trirotor-worker');
    if (!embedded) return 'worker.js';
    return URL.createObjectURL(new Blob([embedded.textContent], { type: 'text/javascript' }));
  }

  function startWorker() {
    ready = false;
    worker = new Worker(workerSource());
    worker.onmessage = (event) => onWorkerMessage(event.data);
    worker.onerror = (event) => {
      // A trap leaves the engine's memory in no known state: start afresh,
      // unless the engine never started at all.
      event.preventDefault();
      if (running) finishRun();
      setStatus(`The engine stopped: ${event.message || 'an error in the worker'}.`, '', true);
      if (!ready) return;
      worker.terminate();
      startWorker();
    };
    updateButtons();
  }

  function onWorkerMessage(message) {
    switch (message.type) {
      case 'ready':
        ready = true;
        engineMessages = message.messages;
        shortestMessage = message.shortestMessage;
        toolVersion = message.version;
        zipAvailable = message.zip;
        listCodePages(message.pages);
        document.documentElement.dataset.readyMs = String(Math.round(performance.now()));
        if (!running && statusLine.textContent.startsWith('Starting')) {
          setStatus('Open, drop or paste a message, enter its key, then Decode.');
        }
        updateButtons();
        if (focusWhenReady) decodeButton.focus();
        focusWhenReady = false;
        break;
      case 'failed':
        setStatus(`The engine could not start: ${message.text}`, '', true);
        break;
      case 'progress':
        if (running && running.kind !== 'batch') progress.value = message.value;
        break;
      case 'pointer':
        if (running) setPointer(message.code);
        break;
      case 'done':
        if (replies.has(message.id)) {
          replies.get(message.id)(message.outcome);
          replies.delete(message.id);
        } else if (running && message.id === running.id) {
          report(running.kind, message.outcome);
        }
        break;
      default:
        break;
    }
  }

  function finishRun() {
    running = null;
    setPointer(0);
    updateButtons();
  }

  function begin(kind, request) {
    running = { id: nextId, kind };
    request.id = nextId;
    nextId += 1;
    request.codePage = Number(codePage.value);
    request.key = units(key.value);
    request.suffix = units(suffix.value);
    showResult('', '');
    progress.value = 0;
    setStatus('Working…');
    updateButtons();
    abortButton.focus();
    worker.postMessage(request);
  }

  function abort() {
    if (!running) return;
    // The engine's state dies with its worker; a fresh one takes its place.
    worker.terminate();
    for (const resolve of replies.values()) resolve(null);
    replies.clear();
    finishRun();
    progress.value = 0;
    setStatus('Aborted');
    startWorker();
    focusWhenReady = true;  // Decode is disabled until the fresh engine is up
  }

  /// Outcomes ///

  function engineErrorLine(error) {
    return `Error ${error.number} in ${error.source}: ${error.description}`;
  }

  function report(kind, outcome) {
    finishRun();
    const warnings = outcome.warnings || [];
    if (outcome.failure) {
      setStatus(outcome.failure, '', true);
    } else if (outcome.refusal) {
      setStatus(`Cannot encode: ${outcome.refusal}.`, '', true);
    } else if (outcome.error) {
      let hint = '';
      if (kind === 'decode') hint = outcome.error.number === 7 ? 'the message is too large for this page' : HINT_DAMAGED;
      setStatus(engineErrorLine(outcome.error), hint, true, warnings);
    } else if (kind === 'encode') {
      const message = fromUnits(outcome.message);
      progress.value = 100;
      showResult(message, 'encode');
      setStatus(`Encoded into a message of ${count(message.length)} characters.`);
    } else if (outcome.status === 'frame-failed') {
      setStatus(engineMessages[33], HINT_FRAME, true, warnings);
    } else {
      const text = fromUnits(outcome.text);
      progress.value = 100;
      showResult(text, 'decode');
      if (outcome.status === 'checksum-mismatch') setStatus(engineMessages[5], '', true, warnings);
      else setStatus(`Decoded ${count(text.length)} characters.`, '', false, warnings);
    }
    (resultText ? result : decodeButton).focus();
  }

  function showResult(text, kind) {
    resultText = text;
    resultKind = kind;
    const label = $('result-label');
    if (text.length > SHOWN_RESULT_CHARS) {
      result.value = text.slice(0, SHOWN_RESULT_CHARS);
      label.textContent = `Result: the first ${count(SHOWN_RESULT_CHARS)} of ${count(text.length)} characters (Copy and Save take all)`;
    } else {
      result.value = text;
      label.textContent = 'Result';
    }
    updateButtons();
  }

  /// Input ///

  function forgetFile() {
    loaded = null;
    inputNote.textContent = '';
    input.readOnly = false;
    input.placeholder = 'Paste a message here, or drop a .b64 or .txt file on the page.';
  }

  async function openFile(file) {
    if (!file || running) return;
    if (file.size > MAX_FILE_BYTES) {
      setStatus(`${file.name} is too large: the page takes files up to ${count(MAX_FILE_BYTES / 1048576)} MB.`, '', true);
      return;
    }
    let bytes;
    try {
      bytes = new Uint8Array(await file.arrayBuffer());
    } catch (error) {
      setStatus(`Cannot read ${file.name}: ${error.message}`, '', true);
      return;
    }
    loaded = { name: file.name, bytes };
    if (bytes.length <= SHOWN_INPUT_BYTES) {
      input.value = new TextDecoder('utf-8').decode(bytes);
      input.readOnly = false;
      inputNote.textContent = `${file.name}: ${count(bytes.length)} bytes.`;
    } else {
      input.value = '';
      input.readOnly = true;
      input.placeholder = '';
      inputNote.textContent = `${file.name}: ${count(bytes.length)} bytes, too many to show. ` +
        'Decode and Encode use the file as it is; Clear to type instead.';
    }
    setStatus(`Loaded ${file.name}.`);
  }

  function decode() {
    if (running || !ready) return;
    if (key.value === '') {
      setStatus('Enter the key first.', '', true);
      key.focus();
      return;
    }
    // A file goes to the engine as its bytes, as the tool reads it; typed or
    // pasted text as the characters it is.
    const message = loaded ? loaded.bytes : units(input.value);
    if (message.length < shortestMessage) {
      setStatus(`The message is too short: a message has at least ${shortestMessage} characters.`, '', true);
      return;
    }
    begin('decode', { type: 'decode', message });
  }

  function encode() {
    if (running || !ready) return;
    if (key.value === '') {
      setStatus('Enter the key first.', '', true);
      key.focus();
      return;
    }
    // A file is read as UTF-8, its byte-order mark dropped, as the tool reads it.
    let text = input.value;
    if (loaded) {
      try {
        text = new TextDecoder('utf-8', { fatal: true }).decode(loaded.bytes);
      } catch (error) {
        setStatus(`${loaded.name} is not valid UTF-8 text.`, '', true);
        return;
      }
    }
    begin('encode', { type: 'encode', plain: units(text) });
  }

  /// Result ///

  // The whole result, exactly: the pane may show only its start, and shows a
  // carriage return as a line end, so neither path copies what it shows.
  async function copy() {
    try {
      await navigator.clipboard.writeText(resultText);
    } catch (error) {
      // Where the clipboard is refused to scripts, the copy command of this
      // click may still reach it; the copy event carries the whole text.
      const putWhole = (event) => {
        event.clipboardData.setData('text/plain', resultText);
        event.preventDefault();
      };
      document.addEventListener('copy', putWhole);
      let copied = false;
      try {
        copied = document.execCommand('copy');
      } catch (refused) {
        copied = false;
      } finally {
        document.removeEventListener('copy', putWhole);
      }
      if (!copied) {
        setStatus(resultText.length > SHOWN_RESULT_CHARS
          ? 'Cannot reach the clipboard here: use Save to keep the whole result.'
          : 'Cannot reach the clipboard here: select the result and copy it by hand.', '', true);
        return;
      }
    }
    setStatus(`Copied ${count(resultText.length)} characters.`);
  }

  function save() {
    const base = loaded ? loaded.name.replace(/\.[^.]*$/, '') : 'message';
    // The tool ends a message it writes with a line end; a plain text is kept as it is.
    const [name, text] = resultKind === 'encode' ? [`${base}.b64`, `${resultText}\n`] : [`${base}.txt`, resultText];
    const url = URL.createObjectURL(new Blob([text], { type: 'text/plain;charset=utf-8' }));
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
    setStatus(`Saved as ${name} (UTF-8).`);
  }

  /// Several files ///

  // Each file is decoded on its own, as the tool's archive run decodes each,
  // and gets a line in a report of the same shape as the tool's --report.
  // A browser knows no file's place on disk, so the lines have no inputRoot
  // and no outputRoot: paths are under the folder picked and under the zip.
  const MAX_BATCH_FILES = 100000;
  const MAX_BATCH_BYTES = 512 * 1024 * 1024;   // all the files of one run, read one at a time
  const MAX_BATCH_TEXT_BYTES = 512 * 1024 * 1024; // the texts held for the zip
  const OUTCOMES = ['opened', 'wrong key or suffix', 'damaged', 'checksum mismatch', 'salvaged', 'not a message',
    'unreadable', 'unwritable', 'skipped'];
  const EXIT_STATUS = {
    opened: 0, 'wrong key or suffix': 3, damaged: 5, 'checksum mismatch': 4, salvaged: 4, 'not a message': 3,
    unreadable: 2, unwritable: 2, skipped: 0,
  };
  const NOT_FAILURES = new Set(['opened', 'not a message', 'skipped']);
  const REPORT_NAME = 'report.jsonl';

  let batchEntries = [];    // [{path, output, file}] in the order a run takes them
  let batchZip = null;      // the last run's zip, a Blob

  // NAME.txt: the name without its last extension, as the tool names outputs.
  function outputNameFor(path) {
    const start = path.lastIndexOf('/') + 1;
    const dot = path.lastIndexOf('.');
    return `${dot > start ? path.slice(0, dot) : path}.txt`;
  }

  // Folders first by name, depth first, as the tool walks them.
  function byPath(a, b) {
    const x = a.path.split('/');
    const y = b.path.split('/');
    for (let i = 0; i < Math.min(x.length, y.length); i += 1) {
      if (x[i] !== y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return x.length - y.length;
  }

  // A dropped folder is walked as a picked one is read: every file under
  // it, at any depth. One folder dropped alone stands for its files, its
  // own name left out; dropped beside others, each keeps its name. The walk
  // stops one file past the page's limit, which chooseFound then refuses.
  const fileOf = (entry) => new Promise((resolve, reject) => entry.file(resolve, reject));
  const batchOf = (reader) => new Promise((resolve, reject) => reader.readEntries(resolve, reject));

  async function walkEntry(entry, prefix, found) {
    if (found.length > MAX_BATCH_FILES) return;
    if (entry.isFile) {
      found.push({ path: prefix + entry.name, file: await fileOf(entry) });
      return;
    }
    if (!entry.isDirectory) return;
    const reader = entry.createReader();
    // readEntries gives a folder's entries a batch at a time, [] at the end.
    for (let batch = await batchOf(reader); batch.length > 0; batch = await batchOf(reader)) {
      for (const child of batch) await walkEntry(child, `${prefix}${entry.name}/`, found);
    }
  }

  async function dropFolders(dropped) {
    if (running) return;
    setStatus('Reading the folder…');
    const found = [];
    try {
      if (dropped.length === 1) {
        const reader = dropped[0].createReader();
        for (let batch = await batchOf(reader); batch.length > 0; batch = await batchOf(reader)) {
          for (const child of batch) await walkEntry(child, '', found);
        }
      } else {
        for (const entry of dropped) await walkEntry(entry, '', found);
      }
    } catch (error) {
      refuseBatch(`Cannot read the dropped folder: ${error.message || error.name || error}`);
      return;
    }
    if (found.length === 0) {
      refuseBatch('The dropped folder holds no file.');
      return;
    }
    chooseFound(found);
  }

  function refuseBatch(line) {
    batchEntries = [];
    batchNote.textContent = '';
    setStatus(line, '', true);
    updateButtons();
  }

  // A picked folder's files stand under it, its own name left out, as the
  // tool mirrors a folder; single files stand under their own names.
  function chooseFiles(fileList, fromFolder) {
    const found = [];
    for (const file of fileList) {
      const under = fromFolder && file.webkitRelativePath ? file.webkitRelativePath.split('/').slice(1).join('/') : '';
      found.push({ path: under || file.name, file });
    }
    chooseFound(found);
  }

  function chooseFound(found) {
    if (running) return;
    const entries = [];
    let bytes = 0;
    for (const { path, file } of found) {
      entries.push({ path, output: outputNameFor(path), file });
      bytes += file.size;
    }
    if (entries.length === 0) return;
    if (entries.length > MAX_BATCH_FILES) {
      refuseBatch(`Too many files: the page takes up to ${count(MAX_BATCH_FILES)} at once.`);
      return;
    }
    if (bytes > MAX_BATCH_BYTES) {
      refuseBatch(`The files hold ${count(Math.ceil(bytes / 1048576))} MB: the page takes up to ` +
        `${count(MAX_BATCH_BYTES / 1048576)} MB at once.`);
      return;
    }
    entries.sort(byPath);
    // Two files that would give one text are refused before any work.
    const taken = new Map();
    for (const entry of entries) {
      if (taken.has(entry.output)) {
        refuseBatch(`${taken.get(entry.output)} and ${entry.path} would both be written to ${entry.output}`);
        return;
      }
      taken.set(entry.output, entry.path);
    }
    batchEntries = entries;
    batchNote.textContent = `${count(entries.length)} files, ${count(bytes)} bytes.`;
    setStatus(`Loaded ${count(entries.length)} files.`);
    updateButtons();
  }

  // A request to the worker, answered by its id; null when the run was aborted.
  function ask(request, transfer = []) {
    request.id = nextId;
    nextId += 1;
    return new Promise((resolve) => {
      replies.set(request.id, resolve);
      worker.postMessage(request, transfer);
    });
  }

  async function readEntry(entry) {
    if (entry.file.size > MAX_FILE_BYTES) {
      return { outcome: 'unreadable', detail: `${entry.path} is too large: the page takes files up to ${count(MAX_FILE_BYTES / 1048576)} MB` };
    }
    try {
      return { bytes: new Uint8Array(await entry.file.arrayBuffer()) };
    } catch (error) {
      return { outcome: 'unreadable', detail: `cannot read ${entry.path}: ${error.message}` };
    }
  }

  const agent = () => ({ name: 'trirotor', version: toolVersion, role: 'executing program' });

  // The tool's report line, less inputRoot and outputRoot (see above), and
  // less the SHA-256s where the browser offers no digest.
  function reportLine(index, entry, found, codePageNumber, start, end) {
    const line = {
      kind: 'input', eventType: 'decryption', eventDateTime: start, eventEndDateTime: end, eventOutcome: found.outcome,
    };
    if (found.detail) line.eventOutcomeDetail = found.detail;
    line.exitStatus = EXIT_STATUS[found.outcome];
    if (found.lastError !== undefined) line.lastError = found.lastError;
    if (found.engineError) {
      const e = found.engineError;
      line.engineError = { number: e.number, source: e.source, description: e.description };
    }
    line.inputIndex = index;
    line.path = entry.path;
    if (found.size !== undefined) {
      line.size = found.size;
      if (found.sha256) line.sha256 = found.sha256;
    }
    if (found.text) {
      line.outputPath = entry.output;
      line.outputSize = found.outputSize;
      if (found.outputSha256) line.outputSha256 = found.outputSha256;
      line.textForm = 'UTF-8';
    }
    line.codePage = codePageNumber;
    line.linkingAgent = agent();
    return line;
  }

  // "2 opened, 1 failed (1 wrong key or suffix)", as the tool ends its run.
  function summaryText(counts) {
    let failed = 0;
    const failures = [];
    const others = [];
    for (const outcome of OUTCOMES) {
      if (counts[outcome] === 0 || outcome === 'opened') continue;
      (NOT_FAILURES.has(outcome) ? others : failures).push(`${counts[outcome]} ${outcome}`);
      if (!NOT_FAILURES.has(outcome)) failed += counts[outcome];
    }
    const detail = [failures.join(', '), others.join(', ')].filter((part) => part).join('; ');
    const line = `${counts.opened} opened, ${failed} failed`;
    return detail ? `${line} (${detail})` : line;
  }

  function addRow(entry, found) {
    const row = document.createElement('tr');
    row.classList.toggle('bad', !NOT_FAILURES.has(found.outcome));
    const size = found.text ? `${count(found.outputSize)} bytes` : '';
    for (const cell of [entry.path, found.outcome, size, found.detail || '']) {
      const td = document.createElement('td');
      td.textContent = cell;
      row.append(td);
    }
    batchRows.append(row);
  }

  async function decodeAll() {
    if (running || !ready || batchEntries.length === 0) return;
    if (key.value === '') {
      setStatus('Enter the key first.', '', true);
      key.focus();
      return;
    }
    const entries = batchEntries;
    // This run's own token: an Abort, or a run begun after it, replaces
    // it, and from then on nothing this run awaits may touch the page.
    const run = { id: 0, kind: 'batch' };
    running = run;
    batchZip = null;
    batchRows.textContent = '';
    batchTable.hidden = false;
    progress.value = 0;
    setStatus('Working…');
    updateButtons();
    abortButton.focus();
    const settings = { codePage: Number(codePage.value), key: units(key.value), suffix: units(suffix.value) };
    const counts = Object.fromEntries(OUTCOMES.map((outcome) => [outcome, 0]));
    const lines = [];
    const texts = {};
    let textBytes = 0;
    let stopped = '';
    const runStart = new Date().toISOString();
    for (let i = 0; i < entries.length && !stopped; i += 1) {
      const entry = entries[i];
      const start = new Date().toISOString();
      let found = await readEntry(entry);
      if (running !== run) return;  // aborted while the file was read: abort() has said so
      if (found.bytes) {
        const message = found.bytes;
        found = await ask({ type: 'decode-file', message, ...settings }, [message.buffer]);
      }
      if (found === null || running !== run) {
        stopped = 'Aborted';
      } else if (found.failure) {
        stopped = found.failure;
      } else if (found.text && textBytes + found.text.length > MAX_BATCH_TEXT_BYTES) {
        stopped = `The texts pass ${count(MAX_BATCH_TEXT_BYTES / 1048576)} MB: the page stopped before ${entry.path}.`;
      } else {
        lines.push(reportLine(i, entry, found, settings.codePage, start, new Date().toISOString()));
        counts[found.outcome] += 1;
        if (found.text) {
          texts[entry.output] = found.text;
          textBytes += found.text.length;
        }
        addRow(entry, found);
        progress.value = Math.round(((i + 1) * 100) / entries.length);
      }
    }
    let exitStatus = 0;
    for (const line of lines) exitStatus = Math.max(exitStatus, NOT_FAILURES.has(line.eventOutcome) ? 0 : line.exitStatus);
    lines.push({
      kind: 'summary', eventType: 'decryption', eventDateTime: runStart, eventEndDateTime: new Date().toISOString(),
      eventOutcome: stopped ? 'interrupted' : 'completed', files: entries.length, outcomes: counts, kept: 0, notWalked: 0,
      exitStatus, linkingAgent: agent(),
    });
    const summary = summaryText(counts);
    let zipNote = '';
    if (running !== run) return;
    if (zipAvailable) {
      texts[REPORT_NAME] = new TextEncoder().encode(lines.map((line) => JSON.stringify(line)).join('\n') + '\n');
      const made = await ask({ type: 'zip', files: texts }, Object.values(texts).map((t) => t.buffer));
      if (made && made.zip) batchZip = new Blob([made.zip], { type: 'application/zip' });
      else if (made) zipNote = ` No zip: ${made.failure}.`;
    } else if (!zipAvailable) {
      zipNote = ' This copy of the page makes no zip.';
    }
    if (running !== run) return;  // aborted while zipping: abort() has said so
    finishRun();
    // Said twice: in the status line, and beside the table, far below it.
    const said = stopped ? `${stopped}: ${summary}.${zipNote}` : `${summary}.${zipNote}`;
    setStatus(said, '', stopped !== '' || exitStatus !== 0);
    batchNote.textContent = said;
    (batchZip ? saveZipButton : decodeAllButton).focus();
  }

  function saveZip() {
    if (!batchZip) return;
    const url = URL.createObjectURL(batchZip);
    const link = document.createElement('a');
    link.href = url;
    link.download = 'trirotor-texts.zip';
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
    setStatus('Saved as trirotor-texts.zip.');
  }

  /// Wiring ///

  decodeButton.addEventListener('click', decode);
  encodeButton.addEventListener('click', encode);
  abortButton.addEventListener('click', abort);
  copyButton.addEventListener('click', copy);
  saveButton.addEventListener('click', save);
  decodeAllButton.addEventListener('click', decodeAll);
  saveZipButton.addEventListener('click', saveZip);
  filesInput.addEventListener('change', () => chooseFiles(filesInput.files, false));
  folderInput.addEventListener('change', () => chooseFiles(folderInput.files, true));
  $('clear').addEventListener('click', () => {
    forgetFile();
    input.value = '';
    fileInput.value = '';
    input.focus();
  });
  input.addEventListener('input', () => {
    if (loaded) forgetFile();
  });
  fileInput.addEventListener('change', () => openFile(fileInput.files[0]));
  showKey.addEventListener('click', () => {
    const shown = key.type === 'password';
    key.type = shown ? 'text' : 'password';
    showKey.textContent = shown ? 'Hide' : 'Show';
    showKey.setAttribute('aria-pressed', String(shown));
  });
  for (const field of [key, suffix]) {
    field.addEventListener('keydown', (event) => {
      if (event.key !== 'Enter') return;
      // Keep the key press from reaching the Abort button, which takes the
      // focus once the run starts.
      event.preventDefault();
      decode();
    });
  }
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && running) abort();
  });

  const dropZone = $('drop-zone');
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    dropZone.classList.add('dragging');
  });
  document.addEventListener('dragleave', () => dropZone.classList.remove('dragging'));
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    dropZone.classList.remove('dragging');
    // The drop's entries are there only while the event lasts: taken now,
    // walked after. A folder shows in the files list as an empty file.
    const dropped = [...(event.dataTransfer.items || [])]
      .map((item) => (item.kind === 'file' && item.webkitGetAsEntry ? item.webkitGetAsEntry() : null))
      .filter((entry) => entry);
    if (dropped.some((entry) => entry.isDirectory)) dropFolders(dropped);
    else if (event.dataTransfer.files.length > 1) chooseFiles(event.dataTransfer.files, false);
    else if (event.dataTransfer.files.length > 0) openFile(event.dataTransfer.files[0]);
  });

  startWorker();
})();
