'use strict';
// The server's MIDI output on a recording stand-in for the module: what it tells /health, what it
// logs and how often, and that nothing unchecked reaches the module. Time is the test's own clock.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { APP_DIR } = require('./start');
const { MidiOutput } = require(path.join(APP_DIR, 'midi_output.js'));

const alsa = (open, problem = '') => ({ system: 'ALSA', open, port: open ? 'Tovra Bridge' : '', problem, dropped: 0 });
const jack = (open, problem = '', dropped = 0) =>
  ({ system: 'JACK', open, port: open ? 'Tovra Bridge:midi_out' : '', problem, dropped });

// The module as the output sees it: open() keeps the callback; `takes` says whether a send is taken.
function stubModule() {
  const module = { sent: [], takes: true, closed: 0, current: [], change: null };
  Object.assign(module, {
    open: (name, change) => { module.name = name; module.change = change; return []; },
    send: (...bytes) => { module.sent.push(bytes); if (!module.takes) module.current[1].dropped++; return module.takes; },
    state: () => module.current,
    close: () => { module.closed++; return true; },
    report: (state) => { module.current = state; module.change(state); },
  });
  return module;
}

function opened(module) {
  const lines = [];
  const output = new MidiOutput({ modulePath: '/x/tovra_midi.node', log: (line) => lines.push(line), load: () => module });
  const first = output.open();
  return { output, lines, first };
}

test('health follows each report (ready while an output is open, its port, ALSA first); the log says each change once', async () => {
  const module = stubModule();
  const { output, lines, first } = opened(module);
  assert.equal(module.name, 'Tovra Bridge');
  const health = () => [output.ready, output.port];
  assert.deepEqual(health(), [false, '']);
  module.report([alsa(false, 'no sequencer'), jack(false, 'no JACK server is running')]);
  await first;
  module.report([alsa(false, 'no sequencer'), jack(false, 'no JACK server is running')]);
  assert.deepEqual(health(), [false, '']);
  module.report([alsa(false, 'no sequencer'), jack(true)]);
  assert.deepEqual(health(), [true, 'Tovra Bridge:midi_out']);
  module.report([alsa(false, 'no sequencer'), jack(true, '', 5)]);
  module.report([alsa(true), jack(true)]);
  assert.deepEqual(health(), [true, 'Tovra Bridge']);
  module.report([alsa(false, 'permission denied'), jack(false, 'the JACK server went away: killed')]);
  assert.deepEqual(health(), [false, '']);
  module.report([alsa(false, 'no sequencer'), jack(false, 'no JACK server is running')]);
  module.report([alsa(false, 'no sequencer'), jack(true)]);
  assert.deepEqual(lines, [
    'MIDI output ALSA unavailable: no sequencer',
    'MIDI output JACK unavailable: no JACK server is running',
    'MIDI output JACK open: "Tovra Bridge:midi_out"',
    'MIDI output ALSA open: "Tovra Bridge"',
    'MIDI output ALSA unavailable: permission denied',
    'MIDI output JACK unavailable: the JACK server went away: killed',
    'MIDI output JACK open: "Tovra Bridge:midi_out"',
  ]);
});

test('without the module, or without the build saying where it is, one line says why and it is not ready', async () => {
  for (const [options, line] of [
    [{ modulePath: '/x/tovra_midi.node', load: () => { throw new Error("Cannot find module '/x/tovra_midi.node'\nRequire stack:"); } },
      "MIDI output unavailable: the MIDI module cannot be loaded (Cannot find module '/x/tovra_midi.node')"],
    [{ modulePath: null, problem: 'build.json is missing' },
      'MIDI output unavailable: the build does not say where the MIDI module is (build.json is missing)'],
  ]) {
    const lines = [];
    const output = new MidiOutput({ ...options, log: (l) => lines.push(l) });
    await output.open();
    assert.deepEqual([lines, output.ready, output.port, output.send([{ kind: 'programChange', channel: 1, program: 1 }])],
      [[line], false, '', { sent: 0, dropped: 1 }]);
    output.close();
  }
});

test('a list with one invalid message sends none of it; a valid one goes whole, in order', () => {
  const module = stubModule();
  const { output } = opened(module);
  module.report([alsa(false, 'x'), jack(true)]);
  const on = { kind: 'noteOn', channel: 1, note: 60, velocity: 100 };
  assert.deepEqual(output.send([on, { ...on, channel: 17 }]), { reason: 'channel is an integer from 1 to 16', index: 1 });
  assert.deepEqual(module.sent, []);
  assert.deepEqual(output.send([on, { kind: 'pitchBend', channel: 2, value: 8192 }]), { sent: 2, dropped: 0 });
  assert.deepEqual(module.sent, [[0x90, 60, 100], [0xE1, 0, 64]]);
});

test('dropped messages are logged at once, then at most once a minute with the count since', (t) => {
  t.mock.timers.enable({ apis: ['setTimeout', 'Date'], now: 1_000_000 });
  const module = stubModule();
  const { output, lines } = opened(module);
  module.report([alsa(false, 'x'), jack(true)]);
  lines.length = 0;
  const cc = { kind: 'controlChange', channel: 1, control: 1, value: 2 };
  module.takes = false;
  assert.deepEqual(output.send([cc, cc]), { sent: 0, dropped: 2 });
  t.mock.timers.tick(0);
  assert.deepEqual(lines, ['MIDI output: 2 messages dropped, as JACK took no more (2 in all)']);
  output.send([cc]);
  t.mock.timers.tick(30_000);
  output.send([cc, cc]);
  t.mock.timers.tick(29_999);
  assert.equal(lines.length, 1, 'again within the minute');
  t.mock.timers.tick(1);
  assert.deepEqual(lines.slice(1), ['MIDI output: 3 messages dropped, as JACK took no more (5 in all)']);
  module.takes = true;
  output.send([cc]);
  t.mock.timers.tick(120_000);
  assert.equal(lines.length, 2, 'nothing dropped, nothing said');
  module.takes = false;
  output.send([cc]);
  t.mock.timers.tick(0);
  assert.deepEqual(lines.slice(2), ['MIDI output: 1 message dropped, as JACK took no more (6 in all)']);
  output.close();
  assert.equal(module.closed, 1);
});

test('the first state is waited for at most 2 s', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout'] });
  const { first } = opened(stubModule());
  let done = false;
  first.then(() => { done = true; });
  t.mock.timers.tick(1999);
  await Promise.resolve();
  assert.equal(done, false);
  t.mock.timers.tick(1);
  await first;
});
