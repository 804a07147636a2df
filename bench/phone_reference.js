'use strict';
// The floor of the phone figures: the least a server can do with the same libraries. A WebSocket
// server (the same `ws`, with the bridge's socket options) whose every text frame is parsed and
// handed to the same MIDI module, as a control change; no pairing, no checks, no counts, no rate
// limit, no log. What the bridge costs beyond it is what its own code costs.
//   node phone_reference.js APP_DIR PORT
// Says "ready" on standard error once the module's JACK output is open and the port listens.
const http = require('node:http');
const path = require('node:path');

const [appDir, port] = [path.resolve(process.argv[2]), Number(process.argv[3])];
const { WebSocketServer } = require(path.join(appDir, 'node_modules/ws'));
const { readBuildInfo } = require(path.join(appDir, 'build_info.js'));
const addon = require(readBuildInfo(appDir).midiModule);

const server = http.createServer((req, res) => res.writeHead(404).end());
const sockets = new WebSocketServer({ server, clientTracking: false, perMessageDeflate: false, maxPayload: 4096,
  handleProtocols: () => 'tovra' });
sockets.on('connection', (ws) => ws.on('message', (data) => {
  const { channel, control, value } = JSON.parse(data);
  addon.send(0xB0 | (channel - 1), control, value);
}));

// Listening keeps the process alive while the module opens its outputs.
let ready = false;
server.listen(port, '127.0.0.1', () => addon.open('Tovra Bridge', (state) => {
  if (ready || !state.some((output) => output.system === 'JACK' && output.open)) return;
  ready = true;
  console.error('ready');
}));
process.on('SIGTERM', () => {
  addon.close();
  process.exit(0);
});
