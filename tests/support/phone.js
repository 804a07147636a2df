'use strict';
// A phone as the bridge sees one, for the server's and the end-to-end tests: it opens the private
// link (its token), pairs, keeps its secret, and plays over its socket with the `ws` library.
const http = require('node:http');
const WebSocket = require('ws');

const PIXEL = 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/156.0.0.0 Mobile Safari/537.36';

// An HTTP request to `url` (a URL): { status, headers, body }. `via`: the address to connect to
// instead of the URL's host, which the request still names as its Host.
const fetchText = (url, { method = 'GET', headers = {}, body, localAddress, via } = {}) => new Promise((resolve, reject) => {
  const options = { method, headers: { Host: url.host, ...headers }, localAddress, agent: false, ...(via ? { host: via } : {}) };
  http.request(url, options, (res) => {
    let text = '';
    res.setEncoding('utf8').on('data', (d) => { text += d; }).on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: text }));
  }).on('error', reject).end(body);
});

class Phone {
  // `link`: the private link; `secret`: one kept from an earlier pairing; `via`: an address of
  // this computer to reach the link's host by (a test on a machine with a network reaches its own
  // address over loopback, naming it as the Host all the same); `localAddress`: where to come from.
  constructor(link, { userAgent = PIXEL, secret = null, localAddress, via } = {}) {
    this.link = new URL(link);
    Object.assign(this, { userAgent, secret, localAddress, via });
    this.socket = null;
  }

  get origin() { return this.link.origin; }

  // POST /api/pair as the controller page does: { status, body }; a secret given is kept.
  async pair({ token = this.link.searchParams.get('token'), headers = {} } = {}) {
    const answer = await fetchText(new URL('/api/pair', this.link), {
      method: 'POST', localAddress: this.localAddress, via: this.via,
      headers: { 'Content-Type': 'application/json', 'User-Agent': this.userAgent, Origin: this.origin, ...headers },
      body: JSON.stringify(this.secret ? { token, secret: this.secret } : { token }),
    });
    const body = JSON.parse(answer.body);
    if (answer.status === 200) this.secret = body.secret;
    return { status: answer.status, body, cookie: answer.headers['set-cookie']?.[0] };
  }

  // Opens a socket as the page does (or with the `protocols` and `origin` given): resolves with it
  // once open, or with { status } when the handshake is refused.
  connect({ protocols = ['tovra', `secret.${this.secret}`], origin = this.origin, path = '/socket' } = {}) {
    const url = new URL(path, this.link);
    url.protocol = 'ws:';
    url.search = '';
    const host = url.host;
    if (this.via) url.hostname = this.via;
    return new Promise((resolve, reject) => {
      const ws = new WebSocket(url, protocols, { origin, localAddress: this.localAddress, headers: { Host: host, 'User-Agent': this.userAgent } });
      ws.closed = new Promise((done) => ws.once('close', (code, reason) => done({ code, reason: reason.toString() })));
      ws.received = [];
      ws.on('message', (data) => ws.received.push(data.toString()));
      ws.once('open', () => { this.socket = ws; resolve(ws); });
      ws.once('unexpected-response', (req, res) => {
        res.resume();
        resolve({ status: res.statusCode });
        ws.terminate();
      });
      ws.on('error', reject); // after open or a refusal, nothing is left to settle
    });
  }

  // One message as the page sends it.
  play(message) { this.socket.send(JSON.stringify(message)); }
}

module.exports = { Phone, fetchText, PIXEL };
