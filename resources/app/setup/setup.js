// The setup page: the test note, forgetting phones, and the list of phones kept up to date while the
// page is open (a phone that pairs shows up within two seconds).
'use strict';
(() => {
  const byId = (id) => document.getElementById(id);
  const post = (path, body) => fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  }).then((answer) => answer.json().then((reply) => {
    if (!answer.ok) throw new Error(reply.error);
    return reply;
  }));
  const failed = (err) => { byId('action-result').textContent = `That did not work: ${err.message}.`; };

  // "Play a test note": middle C on channel 1 for half a second, through the bridge's own output.
  const button = byId('test-note');
  const result = byId('test-result');
  const play = (kind, velocity) => post('/api/midi', { messages: [{ kind, channel: 1, note: 60, velocity }] });
  button.addEventListener('click', () => {
    button.disabled = true;
    result.textContent = '';
    play('noteOn', 100)
      .then(() => new Promise((resolve) => setTimeout(resolve, 500)))
      .then(() => play('noteOff', 0))
      .then(() => { result.textContent = 'Sent: middle C on channel 1.'; },
        (err) => { result.textContent = `Not sent: ${err.message}.`; })
      .finally(() => { button.disabled = false; });
  });

  for (const forget of document.querySelectorAll('button[data-forget]')) {
    forget.addEventListener('click', () => {
      forget.disabled = true;
      post('/api/phones/forget', { id: forget.dataset.forget }).then(() => location.reload(), (err) => {
        forget.disabled = false;
        failed(err);
      });
    });
  }
  byId('forget-all').addEventListener('click', () => {
    if (!confirm('Forget every phone and make a new link? The old link stops working, and each phone needs the new one.')) return;
    post('/api/phones/forget-all', {}).then(() => location.reload(), failed);
  });

  // Times in the reader's own zone and words.
  for (const time of document.querySelectorAll('time[datetime]')) {
    const date = new Date(time.dateTime);
    if (!Number.isNaN(date.getTime())) time.textContent = date.toLocaleString(undefined, { dateStyle: 'medium', timeStyle: 'short' });
  }

  // A phone paired, forgotten, connected or gone: the page shows it anew.
  const list = byId('phones');
  setInterval(() => {
    if (document.visibilityState !== 'visible') return;
    fetch('/api/phones', { cache: 'no-store' }).then((answer) => answer.json()).then((state) => {
      const signature = state.phones.map((phone) => `${phone.id}:${phone.connected > 0 ? 1 : 0}`).join(',');
      if (signature !== list.dataset.signature) location.reload();
    }, () => {});
  }, 2000);
})();
