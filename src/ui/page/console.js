// The console page: asks the service every 500 ms for its state, follows its log, and sends
// the operator's commands. The browser's console session (a cookie) goes with every request;
// when it has ended, the page goes back to the sign-in page.
'use strict';

const POLL_MS = 500;
const $ = (id) => document.getElementById(id);
const logView = $('log');
const statusText = $('status');
const toggle = $('toggle');
const authNote = $('auth-note');
const dialog = $('password-dialog');
const passwordField = $('password');
const passwordMessage = $('password-message');

let position = null;  // log position after the text shown; null: ask for the whole log
let shownAuthenticated = false;
let state = null;
let closed = false;
let failures = 0;

async function api(method, path, body) {
  const options = {method, headers: {}, cache: 'no-store', credentials: 'same-origin'};
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  if (response.status === 401) {
    closed = true;
    window.location.replace('/login');
    throw new Error('signed out');
  }
  // 500: the listener did not follow; 429: too many wrong passwords. Both answer in JSON.
  if (!response.ok && response.status !== 500 && response.status !== 429) {
    throw new Error(`HTTP ${response.status}`);
  }
  return response.json();
}

function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}

// The view keeps itself within the log's limit the way the service's buffer does: past half
// the limit, the older half goes, cut at a line start.
function appendLog(text, limit) {
  if (text === '') return;
  const current = logView.value;
  let kept = current;
  if (limit / 2 < current.length + text.length) {
    const cut = current.lastIndexOf('\n', Math.floor(current.length / 2)) + 1;
    kept = current.slice(cut);
  }
  logView.value = kept + text;
  logView.scrollTop = logView.scrollHeight;
}

function showState(next) {
  state = next;
  setText(statusText, state.status);
  statusText.classList.toggle('inactive', !state.active);
  setText(toggle, state.button);
  toggle.disabled = false;
  setText($('detail'), state.detail || '');
  if (state.authenticated) {
    const seconds = Math.ceil(state.authenticatedMs / 1000);
    authNote.className = 'note';
    setText(authNote, `Administrator authenticated: passwords are shown for ${seconds} s more`);
  } else if (authNote.dataset.sticky !== '1') {
    setText(authNote, '');
  }
}

async function pollState() {
  if (closed) return;
  try {
    showState(await api('GET', '/api/state'));
    failures = 0;
  } catch (error) {
    if (++failures >= 3) {
      setText(statusText, 'Console not reachable');
      statusText.classList.add('inactive');
      toggle.disabled = true;
    }
  }
  setTimeout(pollState, POLL_MS);
}

// Asks for the log text after `position`; the service answers as soon as its next flush
// brings entries (or after a while with none), so entries show within the flush period.
async function followLog() {
  if (closed) return;
  let pause = 0;
  try {
    const query = position === null ? '' : `?since=${position}&wait=1`;
    const log = await api('GET', `/api/log${query}`);
    // When the administrator's time ends, passwords already shown are masked again.
    if (shownAuthenticated && !log.authenticated && position !== null) {
      shownAuthenticated = false;
      position = null;
    } else {
      shownAuthenticated = log.authenticated;
      if (log.reset) logView.value = '';
      appendLog(log.text, log.limit);
      position = log.next;
    }
  } catch (error) {
    pause = POLL_MS;
  }
  setTimeout(followLog, pause);
}

function note(text, warning) {
  authNote.className = warning ? 'note warning' : 'note';
  authNote.dataset.sticky = '1';
  setText(authNote, text);
  setTimeout(() => { authNote.dataset.sticky = ''; }, 4000);
}

toggle.addEventListener('click', async () => {
  toggle.disabled = true;
  try {
    showState(await api('POST', '/api/listener', {action: 'toggle'}));
  } catch (error) {
    note(`The service did not answer: ${error.message}`, true);
  }
  toggle.disabled = false;
});

$('clear').addEventListener('click', async () => {
  await api('POST', '/api/clear', {});
  logView.value = '';
  position = null;
});

$('end').addEventListener('click', async () => {
  const answer = await api('POST', '/api/stop', {});
  if (answer.stopping) {
    closed = true;
    setText(statusText, 'Service stopped');
    statusText.classList.add('inactive');
    toggle.disabled = true;
    note('The FTP service is stopping; this page no longer answers.', true);
  }
});

// ---- The File menu and the administrator-password dialog ----

const fileMenu = $('file-menu');
const fileItems = $('file-items');
function showMenu(open) {
  fileItems.hidden = !open;
  fileMenu.setAttribute('aria-expanded', open ? 'true' : 'false');
}
fileMenu.addEventListener('click', () => showMenu(fileItems.hidden));
document.addEventListener('click', (event) => {
  if (!fileMenu.contains(event.target) && !fileItems.contains(event.target)) showMenu(false);
});

$('authenticate').addEventListener('click', () => {
  showMenu(false);
  passwordField.value = '';
  passwordMessage.hidden = true;
  $('password-unset').hidden = !state || state.passwordSet;
  dialog.showModal();
  passwordField.focus();
});

let checking = false;
async function submitPassword() {
  if (checking) return;
  checking = true;
  $('password-ok').disabled = true;
  try {
    const answer = await api('POST', '/api/authenticate', {password: passwordField.value});
    passwordField.value = '';
    if (answer.result === 'accepted') {
      dialog.close();
    } else if (answer.result === 'retry' || answer.result === 'locked') {
      passwordMessage.textContent = answer.message;
      passwordMessage.hidden = false;
      passwordField.focus();
    } else {
      dialog.close();
      note(answer.message || 'Not authenticated', true);
    }
  } finally {
    checking = false;
    $('password-ok').disabled = false;
  }
}

async function cancelPassword() {
  dialog.close();
  await api('POST', '/api/authenticate', {cancel: true});
}

$('password-ok').addEventListener('click', submitPassword);
$('password-cancel').addEventListener('click', cancelPassword);
passwordField.addEventListener('keydown', (event) => {
  if (event.key === 'Enter') {
    event.preventDefault();
    submitPassword();
  }
});
dialog.addEventListener('cancel', (event) => {  // Escape
  event.preventDefault();
  cancelPassword();
});

pollState();
followLog();
