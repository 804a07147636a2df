'use strict';
// The bridge's MIDI output: the MIDI module (an ALSA sequencer output and a JACK output, both
// named "Tovra Bridge") loaded and opened; what /health says of it; and what the log says: a line
// for each output whenever it opens or stops being open (and why), and the messages dropped, at
// most once a minute. The module reports changes itself, so nothing here asks it again and again.
const { checkMessage } = require('./midi_message');

const NAME = 'Tovra Bridge';
const DROP_REPORT_INTERVAL_MS = 60_000;
const FIRST_STATE_LIMIT_MS = 2000;

class MidiOutput {
  // `modulePath`: the module's file, or null with `problem` saying why there is none; `load`
  // loads it (require, or a stand-in in tests); `log` takes each line.
  constructor({ modulePath, problem = null, log, load = require }) {
    Object.assign(this, { modulePath, problem, log, load });
    this.addon = null;
    this.outputs = [];
    this.said = new Map(); // per system, what the log last said of it
    this.reported = 0; // dropped messages already reported
    this.lastReport = -Infinity;
    this.dropTimer = null;
  }

  // Loads and opens the module; resolves once the outputs' first state is known, or after 2 s.
  open() {
    if (!this.modulePath) return this.unavailable(`the build does not say where the MIDI module is (${this.problem})`);
    try {
      this.addon = this.load(this.modulePath);
    } catch (err) {
      this.addon = null;
      return this.unavailable(`the MIDI module cannot be loaded (${String(err.message).split('\n')[0]})`);
    }
    return new Promise((resolve) => {
      const limit = setTimeout(resolve, FIRST_STATE_LIMIT_MS);
      this.addon.open(NAME, (state) => {
        this.update(state);
        clearTimeout(limit);
        resolve();
      });
    });
  }

  unavailable(reason) {
    this.log(`MIDI output unavailable: ${reason}`);
    return Promise.resolve();
  }

  // Logs each change of an output between open (on a port) and unavailable, with the reason it
  // became unavailable; a later try that fails for another reason is no change.
  update(state) {
    this.outputs = state;
    for (const output of state) {
      const now = output.open ? `open: "${output.port}"` : 'unavailable';
      if (this.said.get(output.system) === now) continue;
      this.said.set(output.system, now);
      this.log(`MIDI output ${output.system} ${output.open ? now : `${now}: ${output.problem}`}`);
    }
  }

  // Whether an output is open now, and the name a music program shows for it (ALSA's first).
  get ready() { return this.outputs.some((output) => output.open); }
  get port() { return this.outputs.find((output) => output.open)?.port ?? ''; }

  // Checks every message, then sends them in order: { sent, dropped }; or, when one is not a
  // valid message, { reason, index } and none is sent.
  send(messages) {
    const checked = messages.map(checkMessage);
    const index = checked.findIndex((result) => result.reason !== undefined);
    if (index >= 0) return { reason: checked[index].reason, index };
    let sent = 0;
    for (const { bytes } of checked) sent += this.sendChecked(bytes) ? 1 : 0;
    return { sent, dropped: checked.length - sent };
  }

  // Sends the bytes of one message checkMessage made: whether every open output took it.
  sendChecked(bytes) {
    if (this.addon?.send(...bytes)) return true;
    if (this.ready) this.noteDrops();
    return false;
  }

  // A report of the drops so far, now if the last was a minute ago, else when it will be.
  noteDrops() {
    if (this.dropTimer) return;
    const wait = Math.max(0, this.lastReport + DROP_REPORT_INTERVAL_MS - Date.now());
    this.dropTimer = setTimeout(() => this.reportDrops(), wait);
    this.dropTimer.unref?.();
  }

  reportDrops() {
    this.dropTimer = null;
    const state = this.addon?.state() ?? [];
    const total = state.reduce((sum, output) => sum + output.dropped, 0);
    if (total <= this.reported) return;
    const where = state.filter((output) => output.dropped > 0).map((output) => output.system).join(' and ');
    const count = total - this.reported;
    this.log(`MIDI output: ${count} message${count === 1 ? '' : 's'} dropped, as ${where} took no more (${total} in all)`);
    this.reported = total;
    this.lastReport = Date.now();
  }

  // Closes the outputs; a system that does not answer is left to the process's exit.
  close() {
    clearTimeout(this.dropTimer);
    this.dropTimer = null;
    if (!this.addon) return;
    if (!this.addon.close()) this.log('MIDI output: a MIDI system did not answer while closing; left to the exit');
    this.addon = null;
    this.outputs = [];
  }
}

module.exports = { MidiOutput, NAME };
