'use strict';
// The web pages: the setup page (this computer only), the phone's controller page, and what a phone
// that is not paired sees instead. Each page is one response with its style and script inline,
// read from the files beside this one when the server starts, and allowed by their hashes alone in
// a strict Content-Security-Policy: nothing comes from anywhere else.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { FADERS, PADS } = require('./controls');
const { qrSvg } = require('./qr_code');

const read = (file) => fs.readFileSync(path.join(__dirname, file), 'utf8');
const hash = (text) => `'sha256-${crypto.createHash('sha256').update(text).digest('base64')}'`;

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({
    '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;',
  })[c]);
}

// A Content-Security-Policy that allows the page's own inline style and script and connections to
// its own origin, and nothing else: no other site, no frames around it, no form posts.
const policy = ({ style, script }) => ["default-src 'none'", `style-src ${hash(style)}`,
  ...(script ? [`script-src ${hash(script)}`, "connect-src 'self'"] : []),
  "img-src 'none'", "base-uri 'none'", "form-action 'none'", "frame-ancestors 'none'"].join('; ');

// ---- The controller ----

const CONTROLLER_STYLE = read('controller/controller.css');
const CONTROLLER_SCRIPT = `const CONTROLS = ${JSON.stringify({
  faders: FADERS, pads: PADS,
})};\n${read('controller/controller.js')}`;
const CONTROLLER_PAGE = read('controller/controller.html')
  .replace('@STYLE@', () => CONTROLLER_STYLE).replace('@SCRIPT@', () => CONTROLLER_SCRIPT);
const CONTROLLER_CSP = policy({ style: CONTROLLER_STYLE, script: CONTROLLER_SCRIPT });

// What a phone without a valid link or secret gets instead of the controller.
const NOT_PAIRED_STYLE = `body{margin:0;min-height:100vh;display:grid;place-items:center;padding:24px;
font:16px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;background:#f2f2f7;color:#1c1c1e}
main{max-width:420px;padding:22px;border-radius:18px;background:#fff;text-align:center}
h1{margin:0 0 8px;font-size:20px;color:#d70015}p{margin:0;color:#6c6c70}
@media (prefers-color-scheme:dark){body{background:#0b0b0d;color:#f2f2f7}main{background:#1c1c1e}h1{color:#ff6961}p{color:#98989f}}`;
const NOT_PAIRED_PAGE = `<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>Tovra controller</title>
<style>${NOT_PAIRED_STYLE}</style>
</head><body><main>
<h1 id="status">Not paired \u2014 open the link from your computer again</h1>
<p>This link is no longer valid, or this phone was forgotten. In Tovra\u2019s menu on your computer,
\u201cSet Up Phone\u2026\u201d shows the current link as a code to scan.</p>
</main></body></html>
`;
const NOT_PAIRED_CSP = policy({ style: NOT_PAIRED_STYLE });

// ---- The setup page ----

const SETUP_STYLE = read('setup/setup.css');
const SETUP_SCRIPT = read('setup/setup.js');
const SETUP_CSP = policy({ style: SETUP_STYLE, script: SETUP_SCRIPT });

function phoneRows(phones) {
  if (phones.length === 0) return '<p class="empty">No phone is paired yet. Scan the code with a phone to pair it.</p>';
  return `<ul class="phones">\n${phones.map((phone) => `<li><div><span class="phone-name">${escapeHtml(phone.name)}</span>
<span class="phone-detail">Paired <time datetime="${escapeHtml(phone.pairedAt)}">${escapeHtml(phone.pairedAt.replace('T', ' ').replace('Z', ' UTC'))}</time>${
  phone.connected > 0 ? ' \u00B7 <span class="online">Connected</span>' : ''}</span></div>
<button type="button" data-forget="${escapeHtml(phone.id)}" aria-label="Forget ${escapeHtml(phone.name)}">Forget</button></li>`).join('\n')}\n</ul>`;
}

function outputRows(outputs) {
  const rows = outputs.map((o) => `<li>${escapeHtml(o.system)}: ${o.open
    ? `open as <b>${escapeHtml(o.port)}</b>` : `unavailable (${escapeHtml(o.problem)})`}</li>`).join('\n');
  return rows || '<li>The MIDI module is not loaded (see the bridge log).</li>';
}

// `link`: the private link; `reachable`: whether this computer has an address a phone can reach;
// `phones`: [{ id, name, pairedAt, connected }]; `outputs`: each MIDI output as the module reports
// it ({ system, open, port, problem }); `saveProblem`: why the pairing cannot be saved, or null.
function renderSetupPage({ link, reachable, phones, outputs, saveProblem = null }) {
  const signature = phones.map((phone) => `${phone.id}:${phone.connected > 0 ? 1 : 0}`).join(',');
  return `<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>Tovra Bridge setup</title>
<style>${SETUP_STYLE}</style>
</head><body><main>
<h1>Set up your phone</h1>
<p class="lead">Scan the code with your phone\u2019s camera to pair it, on the same network as this computer.
The phone then opens the controller by itself, now and after every restart.</p>
<section class="card pairing" aria-label="Pairing">
<div class="qr">${qrSvg(link, 'QR code of the private phone link')}</div>
<div>
<p>Or open this link on the phone:</p>
<code id="phone-link">${escapeHtml(link)}</code>
${reachable ? '' : `<p class="warning" id="no-network"><b>No network:</b> this computer has no address a phone can
reach, only its own (${escapeHtml(new URL(link).hostname)}), so this link works on this computer alone. Connect it to the
same Wi-Fi or network as your phone, then reload this page.</p>`}
${saveProblem ? `<p class="warning" id="not-saved"><b>Pairing not saved:</b> ${escapeHtml(saveProblem)}. Phones paired
now are forgotten when the bridge stops.</p>` : ''}
<p class="hint">Keep this link private: anyone who has it can pair with this computer.</p>
</div>
</section>
<section class="card" aria-labelledby="phones-title">
<h2 id="phones-title">Paired phones</h2>
<div id="phones" data-signature="${escapeHtml(signature)}">
${phoneRows(phones)}
</div>
<button type="button" id="forget-all" class="danger forget-all">Forget all phones and make a new link</button>
<p class="hint">The old link then stops working, and each phone needs the new one.</p>
</section>
<section class="card" aria-labelledby="midi-title">
<h2 id="midi-title">MIDI output</h2>
<ul class="outputs" id="midi-outputs">
${outputRows(outputs)}
</ul>
<p>Choose <b>Tovra Bridge</b> as a MIDI input in your music program.</p>
<p class="test"><button id="test-note" type="button">Play a test note</button> <span id="test-result" role="status"></span></p>
</section>
<p id="action-result" class="warning" role="status"></p>
</main>
<script>${SETUP_SCRIPT}</script>
</body></html>
`;
}

module.exports = {
  escapeHtml, renderSetupPage, SETUP_CSP, CONTROLLER_PAGE, CONTROLLER_CSP, NOT_PAIRED_PAGE, NOT_PAIRED_CSP,
};
