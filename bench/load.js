'use strict';
// Load for the poll's benchmark: `foreign N` holds N connections between a server of its own (on
// port 4174) and itself, 2 N sockets of another program; `ours N` holds N connections to port
// 4173, the app's own server, opening another whenever one is closed. Node's standard library only.
const net = require('node:net');

const [mode, count] = [process.argv[2], Number(process.argv[3])];
const open = (port) => {
  const socket = net.connect({ host: '127.0.0.1', port });
  socket.on('error', () => {});
  socket.on('close', () => (mode === 'ours' ? setTimeout(() => open(port), 100) : undefined));
};
const connectAll = (port) => {
  for (let i = 0; i < count; i++) open(port);
  console.log('connected');
};
if (mode === 'foreign') {
  const held = [];
  net.createServer((socket) => held.push(socket)).listen(4174, '127.0.0.1', () => connectAll(4174));
} else {
  connectAll(4173);
}
