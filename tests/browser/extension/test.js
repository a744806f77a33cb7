// The extension side of the end-to-end suite. The runner drives it through
// window.lc with page.evaluate and reads back everything the browser
// delivered: every frame's size, every reassembled message (its raw text and
// its parse), every disconnect with the browser's own error text.
'use strict';

const HOST = 'com.lumiclipapp.api';
const encoder = new TextEncoder();

const lc = {
  ports: 0,
  messages: [],     // {port, index, raw, parsed, parseError, frames, maxChunkBytes, at}
  connects: [],     // {port, at}
  disconnects: [],  // {port, error, pendingFrames, at}
  anomalies: [],    // frames that are not {data: string}
  frameCount: 0,
  port: null,

  connect() {
    const id = ++this.ports;
    this.connects.push({ port: id, at: Date.now() });
    const port = chrome.runtime.connectNative(HOST);
    // Each port keeps its own partial message: a late frame of an old port
    // must never be glued to a new one.
    const pending = { parts: [], chunkBytes: [] };
    port.onMessage.addListener((frame) => {
      this.frameCount++;
      if (frame === null || typeof frame !== 'object' || typeof frame.data !== 'string' ||
          Object.keys(frame).length !== 1) {
        this.anomalies.push({ port: id, frame: JSON.stringify(frame).slice(0, 300) });
        return;
      }
      if (frame.data !== '') {
        pending.parts.push(frame.data);
        pending.chunkBytes.push(encoder.encode(frame.data).length);
        return;
      }
      const raw = pending.parts.join('');
      const entry = {
        port: id, index: this.messages.length, raw, parsed: null, parseError: null,
        frames: pending.parts.length + 1,
        maxChunkBytes: Math.max(0, ...pending.chunkBytes),
        at: Date.now(),
      };
      pending.parts = [];
      pending.chunkBytes = [];
      try {
        entry.parsed = JSON.parse(raw);
      } catch (e) {
        entry.parseError = String(e);
      }
      this.messages.push(entry);
    });
    port.onDisconnect.addListener(() => {
      const error = chrome.runtime.lastError ? chrome.runtime.lastError.message : null;
      this.disconnects.push({ port: id, error, pendingFrames: pending.parts.length, at: Date.now() });
      if (this.port === port) {
        this.port = null;
      }
    });
    this.port = port;
    return id;
  },

  send(request) {
    if (!this.port) throw new Error('no open port to send on');
    this.port.postMessage(request);
  },

  disconnect() {
    if (this.port) this.port.disconnect();
    this.port = null;
  },

  reconnect() {
    this.disconnect();
    return this.connect();
  },

  // Summaries keep the traffic to the runner small; full() fetches one
  // message's text when a scenario needs it.
  summary(from) {
    return {
      messages: this.messages.slice(from).map((m) => ({
        port: m.port, index: m.index, frames: m.frames, maxChunkBytes: m.maxChunkBytes,
        rawLength: m.raw.length, parseError: m.parseError, at: m.at,
        raw: m.raw.length <= 4096 ? m.raw : null,
        parsed: m.raw.length <= 4096 ? m.parsed : null,
        topic: m.parsed && typeof m.parsed === 'object' ? m.parsed.topic : undefined,
      })),
      total: this.messages.length,
      connects: this.connects.slice(),
      disconnects: this.disconnects.slice(),
      anomalies: this.anomalies.slice(),
      open: this.port !== null,
    };
  },

  full(index) {
    const m = this.messages[index];
    return m ? { raw: m.raw, parsed: m.parsed, parseError: m.parseError } : null;
  },
};

window.lc = lc;
document.getElementById('status').textContent =
  typeof chrome.runtime.connectNative === 'function' ? 'ready' : 'no connectNative';
