'use strict';
// The page: the book's view and edits here, the core in a Web Worker made from the module's
// own code (a page opened from file:// can fetch nothing, so the worker cannot load a file).

// Runs in the worker: one book at a time, each request answered in turn.
function workerMain(makeModule) {
  let core = null;
  let book = null; // the File open, reopened after each brand (a brand closes the book)
  let codePage = 0;
  const ready = makeModule().then((module) => {
    core = new module.Core();
    postMessage({ kind: 'ready', codePages: module.codePages(), codePage: module.defaultCodePage() });
  });
  const progress = (step, percent) => postMessage({ kind: 'progress', step, percent });
  async function open(file, page) {
    const bytes = new Uint8Array(await file.arrayBuffer());
    const answer = core.open(bytes, file.name, page, progress);
    if (!answer.error) {
      book = file;
      codePage = page;
    }
    return answer;
  }
  const actions = {
    open: (request) => open(request.file, request.codePage),
    view: (request) => core.view(request.edits),
    icon: async (request) => core.setIcon(request.file ? new Uint8Array(await request.file.arrayBuffer()) : new Uint8Array()),
    brand: (request) => core.brand(request.edits, request.stamp),
  };
  // A brand closes the book: it is opened again for more edits, as it was, once the branded
  // book is handed over.
  const afterwards = {
    brand: async (request) => {
      const again = await open(book, codePage);
      if (!again.error && request.icon)
        core.setIcon(new Uint8Array(await request.icon.arrayBuffer()));
    },
  };
  let queue = Promise.resolve();
  onmessage = (event) => {
    const request = event.data;
    queue = queue.then(() => ready).then(() => actions[request.kind](request)).then(
      (answer) => postMessage({ kind: 'answer', id: request.id, answer },
        answer.bytes ? [answer.bytes.buffer] : []),
      (error) => postMessage({ kind: 'answer', id: request.id, answer: { error: String(error && error.message || error) } }))
      .then(() => afterwards[request.kind] && afterwards[request.kind](request))
      .catch(() => {});
  };
}

const stepNames = ['Reading', 'Unpacking', 'Reading the variables', 'Packing', 'Writing'];
const $ = (id) => document.getElementById(id);

const state = {
  file: null,     // the book's File
  view: null,     // what the core shows: title, rows, icon, ...
  edits: [],      // per row: the new value, or null where the row is as stored
  icon: null,     // the .ico File chosen, or null
  busy: false,
};

// The worker and its answers.
const worker = new Worker(URL.createObjectURL(new Blob([
  `'use strict'; var _scriptDir; var FoliosetModule = ${FoliosetModule.toString()};\n(${workerMain.toString()})(FoliosetModule);`],
  { type: 'text/javascript' })));
const waiting = new Map();
let nextId = 1;
let readyResolve;
const ready = new Promise((resolve) => { readyResolve = resolve; });
worker.onmessage = (event) => {
  const message = event.data;
  if (message.kind === 'ready') readyResolve(message);
  else if (message.kind === 'progress') showProgress(message.step, message.percent);
  else if (message.kind === 'answer') {
    waiting.get(message.id)(message.answer);
    waiting.delete(message.id);
  }
};
function ask(kind, fields) {
  const id = nextId++;
  return new Promise((resolve) => {
    waiting.set(id, resolve);
    worker.postMessage(Object.assign({ kind, id }, fields));
  });
}

function showProgress(step, percent) {
  if (!state.busy) return; // the book opened again after a brand, unasked
  const bar = $('progress');
  bar.hidden = false;
  bar.value = percent;
  bar.setAttribute('aria-valuetext', `${stepNames[step] || ''} ${percent}%`);
  $('status').textContent = `${stepNames[step] || 'Working'}… ${percent}%`;
}

function showError(message) {
  $('error').textContent = message || '';
}

async function run(label, action) {
  if (state.busy) return;
  state.busy = true;
  document.body.setAttribute('aria-busy', 'true');
  $('status').textContent = label;
  showError('');
  try {
    await action();
  } finally {
    state.busy = false;
    document.body.removeAttribute('aria-busy');
    $('progress').hidden = true;
  }
}

// The moment a brand stamps: ?stamp=SECONDS gives a fixed one (UTC), as SOURCE_DATE_EPOCH does
// for folioset-cli; otherwise the local time.
function stampTime() {
  const stamp = new URLSearchParams(location.search).get('stamp');
  return stamp !== null && /^\d+$/.test(stamp) ? Number(stamp) : null;
}

async function openBook(file) {
  await run(`Opening ${file.name}…`, async () => {
    const answer = await ask('open', { file, codePage: Number($('code-page').value) });
    if (answer.error) {
      showError(answer.error);
      $('status').textContent = '';
      return;
    }
    state.file = file;
    state.icon = null;
    state.edits = answer.view.rows.map(() => null);
    $('output-name').value = file.name;
    $('book-name').textContent = file.name;
    showView(answer.view, true);
    $('book').hidden = false;
    $('status').textContent = `Opened ${file.name}`;
  });
}

let iconUrl = null;
function showView(view, rebuild) {
  state.view = view;
  $('book-title').textContent = view.title || '(no title)';
  $('book-signature').textContent = view.signed ? 'Signed (branding removes the signature)' : 'Not signed';
  $('signature-note').hidden = !view.signed;
  if (iconUrl) URL.revokeObjectURL(iconUrl);
  iconUrl = view.icon.length ? URL.createObjectURL(new Blob([view.icon], { type: 'image/x-icon' })) : null;
  if (iconUrl) $('icon').src = iconUrl; else $('icon').removeAttribute('src');
  $('reset-icon').disabled = state.icon === null;
  if (rebuild) buildGrid(view.rows);
  else updateGrid(view.rows);
}

// A value too long for a line, or of several lines, is edited in the larger editor.
const isLong = (value) => value.length > 200 || /[\r\n]/.test(value);

function buildGrid(rows) {
  const body = $('grid').tBodies[0];
  body.replaceChildren();
  rows.forEach((row, index) => {
    const tr = document.createElement('tr');
    const name = document.createElement('th');
    name.scope = 'row';
    name.id = `name-${index}`;
    const valueCell = document.createElement('td');
    const input = document.createElement('input');
    input.type = 'text';
    input.id = `value-${index}`;
    input.spellcheck = false;
    input.value = row.stored;
    input.setAttribute('aria-labelledby', `name-${index}`);
    input.addEventListener('input', () => edit(index, input.value));
    input.addEventListener('keydown', (event) => {
      if (event.key === 'F2' || (event.key === 'Enter' && isLong(currentValue(index)))) {
        event.preventDefault();
        openEditor(index);
      }
    });
    const more = document.createElement('button');
    more.type = 'button';
    more.textContent = '…';
    more.setAttribute('aria-label', `Edit ${row.name} in a larger editor`);
    more.addEventListener('click', () => openEditor(index));
    valueCell.append(input, more);
    const shown = document.createElement('td');
    shown.className = 'shown';
    shown.setAttribute('aria-live', 'off');
    tr.append(name, valueCell, shown);
    body.append(tr);
  });
  updateGrid(rows);
}

function currentValue(index) {
  return state.edits[index] !== null ? state.edits[index] : state.view.rows[index].stored;
}

function updateGrid(rows) {
  const body = $('grid').tBodies[0];
  rows.forEach((row, index) => {
    const tr = body.rows[index];
    const changed = state.edits[index] !== null && state.edits[index] !== row.storedOriginal;
    tr.classList.toggle('changed', state.edits[index] !== null);
    tr.cells[0].textContent = (state.edits[index] !== null ? '* ' : '') + row.name;
    const input = tr.cells[1].querySelector('input');
    const value = currentValue(index);
    input.readOnly = isLong(value);
    if (input.value !== value) input.value = isLong(value) ? value.replace(/[\r\n]+/g, ' ⏎ ') : value;
    tr.cells[2].textContent = row.shown + (row.from.length ? ` (from ${row.from.join(', ')})` : '');
    void changed;
  });
}

let viewPending = null;
async function edit(index, value) {
  state.edits[index] = value === state.view.rows[index].storedOriginal ? null : value;
  // Views are asked one at a time; the last edit wins.
  if (viewPending) return viewPending.again = true;
  viewPending = { again: false };
  do {
    viewPending.again = false;
    const answer = await ask('view', { edits: state.edits });
    if (answer.error) showError(answer.error);
    else {
      showError('');
      keepOriginals(answer.view);
      showView(answer.view, false);
    }
  } while (viewPending.again);
  viewPending = null;
}

// The values as the book stores them, which edits are compared with.
let originals = [];
function keepOriginals(view) {
  view.rows.forEach((row, index) => { row.storedOriginal = originals[index]; });
}

let editorIndex = -1;
function openEditor(index) {
  editorIndex = index;
  const row = state.view.rows[index];
  $('editor-heading').textContent = `Edit ${row.name}`;
  $('editor-label').textContent = `Value of ${row.name}`;
  $('editor-text').value = currentValue(index);
  $('editor').showModal();
  $('editor-text').focus();
}
$('editor-text').addEventListener('keydown', (event) => {
  if (event.key === 'Enter' && event.ctrlKey) {
    event.preventDefault();
    $('editor-ok').click();
  }
});
$('editor').addEventListener('close', () => {
  const index = editorIndex;
  editorIndex = -1;
  if (index < 0) return;
  if ($('editor').returnValue === 'ok') edit(index, $('editor-text').value);
  $(`value-${index}`).focus();
});

async function loadIcon(file) {
  await run(`Loading icon ${file.name}…`, async () => {
    const answer = await ask('icon', { file });
    if (answer.error) {
      showError(`${file.name}: ${answer.error}`);
      return;
    }
    state.icon = file;
    const view = await ask('view', { edits: state.edits });
    if (!view.error) { keepOriginals(view.view); showView(view.view, false); }
    $('status').textContent = `New icon: ${file.name}`;
  });
}

async function brand() {
  await run('Branding…', async () => {
    const answer = await ask('brand', { edits: state.edits, stamp: stampTime(), icon: state.icon });
    if (answer.error) {
      showError(answer.error);
      $('status').textContent = '';
      return;
    }
    const name = $('output-name').value.trim() || state.file.name;
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([answer.bytes], { type: 'application/octet-stream' }));
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    $('status').textContent = `Branded: ${name} downloaded` + (answer.signatureRemoved ? ' (its signature removed)' : '');
  });
}

$('book-file').addEventListener('change', () => {
  const file = $('book-file').files[0];
  if (file) openBook(file).then(rememberOriginals);
});
function rememberOriginals() {
  if (state.view) {
    originals = state.view.rows.map((row) => row.stored);
    keepOriginals(state.view);
  }
}
$('load-icon').addEventListener('click', () => $('icon-file').click());
$('icon-file').addEventListener('change', () => {
  const file = $('icon-file').files[0];
  $('icon-file').value = '';
  if (file) loadIcon(file);
});
$('reset-icon').addEventListener('click', async () => {
  await ask('icon', { file: null });
  state.icon = null;
  const view = await ask('view', { edits: state.edits });
  if (!view.error) { keepOriginals(view.view); showView(view.view, false); }
  $('load-icon').focus();
});
$('brand').addEventListener('click', brand);
$('code-page').addEventListener('change', () => {
  // What was read in one code page means something else in another: the book is read again.
  if (state.file) openBook(state.file).then(rememberOriginals);
});
// A book or an icon dropped anywhere on the page.
document.addEventListener('dragover', (event) => event.preventDefault());
document.addEventListener('drop', (event) => {
  event.preventDefault();
  const file = event.dataTransfer.files[0];
  if (!file) return;
  if (/\.ico$/i.test(file.name) && state.file) loadIcon(file);
  else openBook(file).then(rememberOriginals);
});

ready.then((message) => {
  const select = $('code-page');
  for (const number of message.codePages) {
    const option = document.createElement('option');
    option.value = number;
    option.textContent = `windows-${number}`;
    select.append(option);
  }
  select.value = String(message.codePage);
  $('status').textContent = 'Ready: open an e-book.';
  document.body.dataset.ready = 'true';
});
