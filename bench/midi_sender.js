'use strict';
// The server's send path alone, for the MIDI latency figure: the built server's MIDI output
// (midi_output.js and the module), opened as the server opens it.
//   node midi_sender.js APP_DIR COUNT INTERVAL_MS
// Says "ready" on standard error once an output is open, waits for a line on standard input (the
// recorder is connected), then sends COUNT control changes numbered 0, 1, ... (control = n >> 7,
// value = n & 127) every INTERVAL_MS, and prints the CLOCK_MONOTONIC time in microseconds just
// before each send call, one a line.
const path = require('node:path');
const [appDir, count, interval] = [process.argv[2], Number(process.argv[3]), Number(process.argv[4])];
const { readBuildInfo } = require(path.join(appDir, 'build_info.js'));
const { MidiOutput } = require(path.join(appDir, 'midi_output.js'));

const now = () => Number(process.hrtime.bigint() / 1000n);

async function main() {
  const build = readBuildInfo(appDir);
  const midi = new MidiOutput({ modulePath: build.midiModule, log: (line) => console.error(line) });
  await midi.open();
  if (!midi.ready) throw new Error('no MIDI output opened');
  console.error('ready');
  await new Promise((resolve) => process.stdin.once('data', resolve));
  const times = [];
  const start = now();
  for (let n = 0; n < count; n++) {
    const due = start + n * interval * 1000;
    // A timer to within 2 ms of the due time, then a short spin: sends keep their pace.
    if (due - now() > 2000) await new Promise((resolve) => setTimeout(resolve, (due - now() - 2000) / 1000));
    while (now() < due);
    times.push(now());
    midi.send([{ kind: 'controlChange', channel: 1, control: n >> 7, value: n & 127 }]);
  }
  await new Promise((resolve) => setTimeout(resolve, 50));
  midi.close();
  process.stdout.write(times.join('\n') + '\n');
  process.stdin.destroy();
}

main().catch((error) => { console.error(error.stack); process.exit(1); });
