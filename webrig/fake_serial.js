// A navigator.serial for a headless browser, which has no port picker and sees no
// pseudo-terminal: injected before the page loads, it carries each port's bytes over a WebSocket
// to the rig's process, which holds quarv-sim's pseudo-terminal. It keeps to the standard's
// surface and errors for what the page uses, so the page's code is the code that would run
// against a real port. Plain script, not a module: it runs as an init script.
(() => {
  // A browser without Web Serial, for the page's own message about it.
  if (location.search.includes('quarv-no-serial')) {
    delete Navigator.prototype.serial;
    return;
  }
  // The rig's WebSocket on the page's origin, at the path the rig set in quarvSerialSocket, opened
  // at the first call, so a page that never touches a port opens none. A port's bytes go as
  // binary frames, and the rig pushes what the device sends as it comes: a reply crosses once,
  // with nothing to ask for it and no text to parse.
  const encoder = new TextEncoder();
  const decoder = new TextDecoder();
  const overSocket = (path) => {
    const waiting = new Map();
    const listeners = new Map(); // rig's port id -> what takes its bytes
    let next = 0;
    let opened = null;
    const times = (kind, what) => globalThis.quarvSerialTimes?.push([kind, performance.now(), what]);
    const pushed = (data) => {
      const length = new DataView(data).getUint16(0, true);
      const id = decoder.decode(new Uint8Array(data, 2, length));
      const bytes = new Uint8Array(data, 2 + length);
      times('answer', bytes.length);
      listeners.get(id)?.({ bytes });
    };
    const connect = () => new Promise((done, failed) => {
      const socket = new WebSocket(`ws://${location.host}${path}`);
      socket.binaryType = 'arraybuffer';
      socket.onopen = () => done(socket);
      socket.onerror = () => failed(new Error('the rig\'s serial socket failed'));
      socket.onclose = () => {
        opened = null;
        waiting.forEach((answer) => answer({ error: 'the rig\'s serial socket closed' }));
        waiting.clear();
      };
      socket.onmessage = (event) => {
        if (typeof event.data !== 'string') return pushed(event.data);
        const reply = JSON.parse(event.data);
        if (reply.push !== undefined) return listeners.get(reply.push)?.(reply.value);
        times('answer', 0);
        waiting.get(reply.id)?.(reply);
        waiting.delete(reply.id);
      };
    });
    const ask = async (message, op) => {
      opened ??= connect();
      const socket = await opened;
      const reply = await new Promise((answer) => {
        waiting.set(++next, answer);
        times('send', op);
        socket.send(message(next));
      });
      if (reply.error) throw new Error(reply.error);
      return reply.value;
    };
    const call = (...args) => ask((id) => JSON.stringify({ id, args }), args[0]);
    // [id: u32][length of the port's id: u16][the port's id][bytes], little-endian
    const write = (port, bytes) => ask((id) => {
      const name = encoder.encode(port);
      const frame = new Uint8Array(6 + name.length + bytes.length);
      const view = new DataView(frame.buffer);
      view.setUint32(0, id, true);
      view.setUint16(4, name.length, true);
      frame.set(name, 6);
      frame.set(bytes, 6 + name.length);
      return frame;
    }, 'write');
    const listen = (port, deliver) => {
      listeners.set(port, deliver);
      call('listen', port).catch(() => deliver({ lost: true }));
      return () => listeners.delete(port);
    };
    return { call, write, listen };
  };
  // The bench's measure of the rig's own share: with quarvSerialTimes set to an array, each
  // message to the rig and each answer is noted there, on the page's clock.
  const rig = overSocket(globalThis.quarvSerialSocket);
  const call = rig.call;
  globalThis.quarvSerialCall = call; // the bench's measure of the rig's round trip
  const fail = (name, message) => new DOMException(message, name);
  const PASSING = { parity: ['none', 'even', 'odd'], dataBits: [7, 8], stopBits: [1, 2],
    flowControl: ['none', 'hardware'] };
  const known = new Map(); // rig's port id -> SerialPort, so getPorts returns the same objects

  class SerialPort extends EventTarget {
    #id; #state = 'closed'; #readable = null; #writable = null; #source = null;
    constructor(id) { super(); this.#id = id; this.ondisconnect = null; this.onconnect = null; }
    getInfo() { return { usbVendorId: 0x0403, usbProductId: 0x6001 }; }
    get readable() {
      if (this.#readable || this.#state !== 'opened') return this.#readable;
      const id = this.#id;
      let stop = () => {};
      const stream = new ReadableStream({
        start: (controller) => {
          stop = rig.listen(id, (got) => {
            if (got.lost) {
              stop();
              controller.error(fail('NetworkError', 'The device has been lost.'));
              this.#readable = null;
              return this.#lost();
            }
            if (got.closed) return;
            controller.enqueue(Uint8Array.from(got.bytes));
          });
        },
        cancel: () => {
          stop();
          this.#readable = null;
          return call('purge', id);
        },
      });
      this.#readable = stream;
      return stream;
    }
    get writable() {
      if (this.#writable || this.#state !== 'opened') return this.#writable;
      const id = this.#id;
      this.#writable = new WritableStream({
        write: async (chunk) => {
          if (!ArrayBuffer.isView(chunk) && !(chunk instanceof ArrayBuffer))
            throw new TypeError('chunk is not a BufferSource');
          const sent = await rig.write(id, new Uint8Array(chunk.buffer || chunk,
            chunk.byteOffset || 0, chunk.byteLength));
          if (sent.lost) {
            this.#writable = null;
            throw fail('NetworkError', 'The device has been lost.');
          }
        },
        close: () => { this.#writable = null; },
        abort: () => { this.#writable = null; },
      });
      return this.#writable;
    }
    async open(options) {
      if (!options || !(options.baudRate > 0))
        throw new TypeError('baudRate must be a positive integer');
      for (const [key, allowed] of Object.entries(PASSING))
        if (key in options && !allowed.includes(options[key])) throw new TypeError(`bad ${key}`);
      if ('bufferSize' in options && !(options.bufferSize > 0 && options.bufferSize <= 16777216))
        throw new TypeError('bad bufferSize');
      if (this.#state !== 'closed') throw fail('InvalidStateError', 'The port is already open.');
      this.#state = 'opening';
      const done = await call('open', this.#id, JSON.parse(JSON.stringify(options)));
      if (!done.ok) {
        this.#state = 'closed';
        throw fail('NetworkError', 'Failed to open serial port.');
      }
      this.#state = 'opened';
    }
    async setSignals(signals) {
      if (this.#state !== 'opened') throw fail('InvalidStateError', 'The port is closed.');
      if (!signals || !['dataTerminalReady', 'requestToSend', 'break'].some((k) => k in signals))
        throw new TypeError('no signal given');
      await call('signals', this.#id, JSON.parse(JSON.stringify(signals)));
    }
    async close() {
      if (this.#state !== 'opened') throw fail('InvalidStateError', 'The port is not open.');
      if (this.#readable?.locked || this.#writable?.locked)
        throw new TypeError('Cannot cancel a locked stream');
      this.#state = 'closing';
      await this.#readable?.cancel();
      await this.#writable?.abort();
      await call('close', this.#id);
      this.#state = 'closed';
    }
    async forget() { known.delete(this.#id); }
    // The standard's disconnect event bubbles from the port to navigator.serial.
    #lost() {
      this.dispatchEvent(new Event('disconnect'));
      const event = new Event('disconnect');
      Object.defineProperty(event, 'target', { value: this });
      serial.dispatchEvent(event);
    }
  }

  class Serial extends EventTarget {
    async requestPort() {
      const id = await call('request');
      if (id === null) throw fail('NotFoundError', 'No port selected by the user.');
      if (!known.has(id)) known.set(id, new SerialPort(id));
      return known.get(id);
    }
    async getPorts() { return [...known.values()]; }
  }
  const serial = new Serial();
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });
})();
