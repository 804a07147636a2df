'use strict';
// The web pages: the setup page (this computer only) and the phone's controller page, each with
// its Content-Security-Policy. Their scripts are inline and allowed by their hash alone.
const crypto = require('node:crypto');

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({
    '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;',
  })[c]);
}

const scriptHash = (script) => `'sha256-${crypto.createHash('sha256').update(script).digest('base64')}'`;

// "Play a test note": middle C on channel 1 for half a second, through the bridge's own output.
const SETUP_SCRIPT = `
const button = document.getElementById('test-note');
const result = document.getElementById('test-result');
const play = (kind, velocity) => fetch('/api/midi', {
  method: 'POST',
  headers: { 'Content-Type': 'application/json' },
  body: JSON.stringify({ messages: [{ kind, channel: 1, note: 60, velocity }] }),
}).then((r) => r.json().then((body) => { if (!r.ok) throw new Error(body.error); }));
button.addEventListener('click', () => {
  button.disabled = true;
  result.textContent = '';
  play('noteOn', 100)
    .then(() => new Promise((resolve) => setTimeout(resolve, 500)))
    .then(() => play('noteOff', 0))
    .then(() => { result.textContent = 'Sent: middle C on channel 1.'; },
      (err) => { result.textContent = 'Not sent: ' + err.message + '.'; })
    .finally(() => { button.disabled = false; });
});
`;

const SETUP_CSP = `default-src 'none'; style-src 'unsafe-inline'; connect-src 'self'; script-src ${scriptHash(SETUP_SCRIPT)}`;

// `outputs`: each MIDI output as the module reports it ({ system, open, port, problem }).
function renderSetupPage(link, outputs) {
  const rows = outputs.map((o) => `<li>${escapeHtml(o.system)}: ${o.open
    ? `open as <b>${escapeHtml(o.port)}</b>` : `unavailable (${escapeHtml(o.problem)})`}</li>`).join('\n');
  return `<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tovra Bridge setup</title>
<style>body{font-family:sans-serif;max-width:40em;margin:2em auto;padding:0 1em}
code{display:block;padding:.8em;background:#eee;word-break:break-all;user-select:all}</style>
</head><body>
<h1>Connect your phone</h1>
<p>Open this link on your phone (on the same network as this computer) to pair it:</p>
<code id="phone-link">${escapeHtml(link)}</code>
<p>Keep this link private: anyone who has it can pair with this computer.</p>
<h2>MIDI output</h2>
<ul id="midi-outputs">
${rows || '<li>The MIDI module is not loaded (see the bridge log).</li>'}
</ul>
<p>Choose <b>Tovra Bridge</b> as a MIDI input in your music program.</p>
<p><button id="test-note" type="button">Play a test note</button> <span id="test-result" role="status"></span></p>
<script>${SETUP_SCRIPT}</script>
</body></html>
`;
}

const CONTROLLER_SCRIPT = `
const status = document.getElementById('status');
const token = new URLSearchParams(location.search).get('token');
history.replaceState(null, '', location.pathname);
function clientId() {
  let id = null;
  try { id = localStorage.getItem('tovraClientId'); } catch (e) {}
  if (!id) {
    const bytes = crypto.getRandomValues(new Uint8Array(16));
    id = Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    try { localStorage.setItem('tovraClientId', id); } catch (e) {}
  }
  return id;
}
fetch('/api/pair', {
  method: 'POST',
  headers: { 'Content-Type': 'application/json' },
  body: JSON.stringify({ token, clientId: clientId() }),
}).then((r) => {
  status.textContent = r.ok ? 'Paired with your computer.' : 'Pairing failed (' + r.status + ').';
}, () => { status.textContent = 'Cannot reach your computer.'; });
`;

const CONTROLLER_PAGE = `<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tovra controller</title>
</head><body style="font-family:sans-serif;margin:2em">
<h1>Tovra controller</h1>
<p id="status">Pairing…</p>
<script>${CONTROLLER_SCRIPT}</script>
</body></html>
`;

const CONTROLLER_CSP = `default-src 'none'; style-src 'unsafe-inline'; connect-src 'self'; script-src ${scriptHash(CONTROLLER_SCRIPT)}`;

module.exports = { escapeHtml, renderSetupPage, SETUP_CSP, CONTROLLER_PAGE, CONTROLLER_CSP };
