// The phone's controller. The server puts CONTROLS (its table of faders and pads) above this line.
// Pairing: the private link's token is traded once for a secret of this phone's own, kept in
// localStorage and presented on every connection. Nothing is queued while the connection is down:
// a press then is lost, not played late; on each connection the faders' values are sent once.
'use strict';
(() => {
  const KEYS = { secret: 'tovra.secret', channel: 'tovra.channel', faders: 'tovra.faders' };
  const TEXT = {
    pairing: 'Pairing\u2026',
    connected: 'Connected',
    reconnecting: 'Reconnecting\u2026',
    notPaired: 'Not paired \u2014 open the link from your computer again',
    full: 'Not paired \u2014 this computer has 64 phones already',
  };
  const CLOSE_FORGOTTEN = 4001;
  const PONG_WAIT_MS = 2000;

  const storage = {
    get(key) { try { return localStorage.getItem(key); } catch { return null; } },
    set(key, value) { try { localStorage.setItem(key, value); } catch {} },
    remove(key) { try { localStorage.removeItem(key); } catch {} },
  };
  const byId = (id) => document.getElementById(id);
  const clamp = (value) => Math.max(0, Math.min(127, Math.round(value)));

  // The connection's state, shown in the bar; anything but a working connection also in the notice.
  function show(state, text, notice) {
    document.body.dataset.state = state;
    byId('status-text').textContent = text;
    byId('notice').hidden = !notice;
    if (notice) {
      byId('notice-title').textContent = notice.title;
      byId('notice-text').textContent = notice.text;
    }
  }

  // ---- Channel ----
  const channelSelect = byId('channel');
  channelSelect.setAttribute('aria-label', 'MIDI channel');
  for (let n = 1; n <= 16; n++) channelSelect.add(new Option(String(n), String(n)));
  const savedChannel = Number(storage.get(KEYS.channel));
  channelSelect.value = String(savedChannel >= 1 && savedChannel <= 16 ? savedChannel : 1);
  channelSelect.addEventListener('change', () => storage.set(KEYS.channel, channelSelect.value));
  const channel = () => Number(channelSelect.value);

  // ---- Connection ----
  let socket = null;
  let paired = true;
  let attempts = 0;
  let retryTimer = null;
  let pongTimer = null;

  function send(message) {
    if (!socket || socket.readyState !== WebSocket.OPEN) return null;
    socket.send(JSON.stringify(message));
    return socket;
  }

  function connect() {
    clearTimeout(retryTimer);
    retryTimer = null;
    const secret = storage.get(KEYS.secret);
    if (!secret) return notPaired();
    let opened = false;
    const ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/socket`,
      ['tovra', `secret.${secret}`]);
    socket = ws;
    ws.onopen = () => {
      opened = true;
      attempts = 0;
      show('connected', TEXT.connected);
      faders.forEach((fader) => send({ kind: 'controlChange', channel: channel(), control: fader.control, value: fader.value }));
    };
    ws.onmessage = (event) => {
      if (event.data === '{"kind":"pong"}') clearTimeout(pongTimer);
    };
    ws.onclose = (event) => {
      if (socket !== ws) return;
      socket = null;
      clearTimeout(pongTimer);
      if (event.code === CLOSE_FORGOTTEN) notPaired();
      else if (!opened) checkPairing();
      else retry();
    };
  }

  // After a network change, a sleep or the bridge's relaunch: again and again, a little later each time.
  function retry() {
    if (!paired) return;
    show('reconnecting', TEXT.reconnecting);
    const delay = Math.min(4000, 250 * 2 ** attempts) * (0.8 + Math.random() * 0.4);
    attempts++;
    retryTimer = setTimeout(connect, delay);
  }

  // A socket that never opened was refused or found nobody: the page itself answers only a phone
  // still paired.
  function checkPairing() {
    fetch(location.pathname, { method: 'HEAD', cache: 'no-store', credentials: 'same-origin' })
      .then((answer) => (answer.status === 403 ? notPaired() : retry()), retry);
  }

  function notPaired(text = TEXT.notPaired) {
    paired = false;
    storage.remove(KEYS.secret);
    releaseAll();
    show('unpaired', text, {
      title: 'Not paired',
      text: text === TEXT.full
        ? 'This computer has 64 phones paired. Forget one in its setup page (“Set Up Phone…” in Tovra’s menu), then open the link again.'
        : 'Open the private link from your computer again: in Tovra’s menu, “Set Up Phone…” shows it as a code to scan.',
    });
  }

  // Back from sleep or a network change: a connection that looks open may be dead, and must answer
  // a ping; one that is down is tried now.
  function wake() {
    if (!paired) return;
    if (socket && socket.readyState === WebSocket.OPEN) {
      send({ kind: 'ping' });
      clearTimeout(pongTimer);
      pongTimer = setTimeout(() => {
        const dead = socket;
        socket = null;
        dead.close();
        attempts = 0;
        connect();
      }, PONG_WAIT_MS);
    } else if (!socket) {
      attempts = 0;
      connect();
    }
  }
  document.addEventListener('visibilitychange', () => { if (document.visibilityState === 'visible') wake(); });
  window.addEventListener('online', wake);
  window.addEventListener('pageshow', (event) => { if (event.persisted) wake(); });

  function pair(token) {
    show('pairing', TEXT.pairing);
    const secret = storage.get(KEYS.secret);
    fetch('/api/pair', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(secret ? { token, secret } : { token }),
    }).then(async (answer) => {
      // Refused (a link no longer valid, no room for another phone): not paired. A bridge that
      // failed, or an answer cut on the way, is tried again.
      if (answer.status >= 400 && answer.status < 500) return notPaired(answer.status === 409 ? TEXT.full : TEXT.notPaired);
      if (!answer.ok) throw new Error(`pairing answered ${answer.status}`);
      storage.set(KEYS.secret, (await answer.json()).secret);
      connect();
    }).catch(() => {
      show('reconnecting', TEXT.reconnecting);
      retryTimer = setTimeout(() => pair(token), Math.min(4000, 250 * 2 ** attempts++));
    });
  }

  // ---- Faders ----
  let saveTimer = null;
  const saved = (() => { try { return JSON.parse(storage.get(KEYS.faders)) || {}; } catch { return {}; } })();
  const saveSoon = () => {
    clearTimeout(saveTimer);
    saveTimer = setTimeout(() => storage.set(KEYS.faders,
      JSON.stringify(Object.fromEntries(faders.map((fader) => [fader.control, fader.value])))), 400);
  };

  const faders = CONTROLS.faders.map((control) => {
    const element = document.createElement('div');
    element.className = 'fader';
    element.tabIndex = 0;
    element.setAttribute('role', 'slider');
    element.setAttribute('aria-label', `${control.name} (control ${control.control})`);
    element.setAttribute('aria-orientation', 'vertical');
    element.setAttribute('aria-valuemin', '0');
    element.setAttribute('aria-valuemax', '127');
    element.innerHTML = '<span class="fader-value" aria-hidden="true"></span><span class="fader-track">' +
      '<span class="fader-fill"></span><span class="fader-thumb"></span></span><span class="fader-name" aria-hidden="true"></span>';
    element.querySelector('.fader-name').textContent = control.short;
    byId('faders').append(element);
    const initial = Number.isInteger(saved[control.control]) ? clamp(saved[control.control]) : control.initial;
    const fader = { control: control.control, element, value: -1, pointer: null };
    set(fader, initial, false);
    return fader;
  });

  function set(fader, value, sendIt = true) {
    const next = clamp(value);
    if (next === fader.value) return;
    fader.value = next;
    fader.element.style.setProperty('--value', String(next / 127));
    fader.element.setAttribute('aria-valuenow', String(next));
    fader.element.querySelector('.fader-value').textContent = String(next);
    if (sendIt) {
      send({ kind: 'controlChange', channel: channel(), control: fader.control, value: next });
      saveSoon();
    }
  }

  // The finger's height on the track is the value.
  function follow(fader, event) {
    const track = fader.element.querySelector('.fader-track').getBoundingClientRect();
    set(fader, ((track.bottom - event.clientY) / track.height) * 127);
  }

  for (const fader of faders) {
    const { element } = fader;
    element.addEventListener('pointerdown', (event) => {
      event.preventDefault();
      element.setPointerCapture(event.pointerId);
      fader.pointer = event.pointerId;
      element.classList.add('active');
      follow(fader, event);
    });
    element.addEventListener('pointermove', (event) => { if (event.pointerId === fader.pointer) follow(fader, event); });
    const end = (event) => {
      if (event.pointerId !== fader.pointer) return;
      fader.pointer = null;
      element.classList.remove('active');
    };
    element.addEventListener('pointerup', end);
    element.addEventListener('pointercancel', end);
    element.addEventListener('lostpointercapture', end);
    element.addEventListener('keydown', (event) => {
      const step = { ArrowUp: 1, ArrowRight: 1, ArrowDown: -1, ArrowLeft: -1, PageUp: 10, PageDown: -10 }[event.key];
      if (step !== undefined) set(fader, fader.value + step);
      else if (event.key === 'Home') set(fader, 0);
      else if (event.key === 'End') set(fader, 127);
      else return;
      event.preventDefault();
    });
  }

  // ---- Pads ----
  // Each press by its pointer (or key): the pad, the note on its channel, and the connection it was
  // played on. A release ends only a note that connection played: a connection that closed has had
  // the bridge end its notes already.
  const presses = new Map();

  const pads = CONTROLS.pads.map((control, i) => {
    const element = document.createElement('button');
    element.type = 'button';
    element.className = 'pad';
    element.dataset.row = String(Math.floor(i / 4));
    element.setAttribute('aria-label', control.name);
    element.textContent = control.name;
    return { note: control.note, element, row: Math.floor(i / 4), column: i % 4 };
  });
  // The lowest row at the bottom.
  [...pads].sort((a, b) => b.row - a.row || a.column - b.column).forEach((pad) => byId('pads').append(pad.element));

  function press(id, pad, velocity) {
    const on = { kind: 'noteOn', channel: channel(), note: pad.note, velocity };
    presses.set(id, { pad, channel: on.channel, socket: send(on) });
    pad.element.style.setProperty('--velocity', String(velocity / 127));
    pad.element.classList.add('lit');
  }

  function release(id) {
    const held = presses.get(id);
    if (!held) return;
    presses.delete(id);
    if (held.socket && held.socket === socket) send({ kind: 'noteOff', channel: held.channel, note: held.pad.note, velocity: 0 });
    if (![...presses.values()].some((other) => other.pad === held.pad)) held.pad.element.classList.remove('lit');
  }

  function releaseAll() {
    for (const id of [...presses.keys()]) release(id);
  }

  for (const pad of pads) {
    const { element } = pad;
    element.addEventListener('pointerdown', (event) => {
      event.preventDefault();
      element.setPointerCapture(event.pointerId);
      // Struck near the top, loud; near the bottom, soft.
      const box = element.getBoundingClientRect();
      const height = Math.min(1, Math.max(0, (box.bottom - event.clientY) / box.height));
      press(`pointer${event.pointerId}`, pad, Math.max(1, clamp(24 + height * 103)));
    });
    for (const type of ['pointerup', 'pointercancel', 'lostpointercapture']) {
      element.addEventListener(type, (event) => release(`pointer${event.pointerId}`));
    }
    element.addEventListener('keydown', (event) => {
      if (event.key !== ' ' && event.key !== 'Enter') return;
      event.preventDefault();
      if (!event.repeat) press(`key${pad.note}`, pad, 100);
    });
    element.addEventListener('keyup', (event) => {
      if (event.key !== ' ' && event.key !== 'Enter') return;
      event.preventDefault();
      release(`key${pad.note}`);
    });
    element.addEventListener('blur', () => release(`key${pad.note}`));
  }

  // No zoom, no text selection, no long-press menu while playing.
  for (const type of ['contextmenu', 'gesturestart', 'dblclick']) document.addEventListener(type, (event) => event.preventDefault());

  // ---- Start ----
  const token = new URLSearchParams(location.search).get('token');
  if (token !== null) history.replaceState(null, '', location.pathname);
  if (token) pair(token);
  else connect();
})();
