// The remote desktop in a browser: signs in, opens the WebSocket to rcweb, decodes the VP9/VP8
// stream with WebCodecs, paints the newest frame on each animation frame, and sends the keyboard
// and mouse back. Wire format: viewer/PROTOCOL.md.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const canvas = $('screen');
  const stage = $('stage');
  const ctx = canvas.getContext('2d', {alpha: false, desynchronized: true});

  // Message types (PROTOCOL.md).
  const MSG_VIDEO = 1, MSG_CURSOR = 2;
  const MSG_KEY = 16, MSG_MOVE = 17, MSG_BUTTON = 18, MSG_WHEEL = 19, MSG_RELEASE = 20,
        MSG_ACK = 32;
  const VIDEO_HEADER = 20, CURSOR_HEADER = 10;
  const VK_CAPITAL = 0x14;

  // VP9 levels: [level × 10, max luma samples per second, max luma picture size].
  const VP9_LEVELS = [
    [10, 829440, 36864], [11, 2764800, 73728], [20, 4608000, 122880], [21, 9216000, 245760],
    [30, 20736000, 552960], [31, 36864000, 983040], [40, 83558400, 2228224],
    [41, 160432128, 2228224], [50, 311951360, 8912896], [51, 588251136, 8912896],
    [52, 1176502272, 8912896], [60, 1176502272, 35651584], [61, 2353004544, 35651584],
    [62, 4706009088, 35651584],
  ];

  function codecString(codec, width, height, fps) {
    if (codec === 'vp8') return 'vp8';
    const picture = width * height;
    const rate = picture * Math.max(1, fps || 30);
    const found = VP9_LEVELS.find(([, maxRate, maxPicture]) => picture <= maxPicture &&
                                                               rate <= maxRate);
    const level = found ? found[0] : 62;
    return `vp09.00.${String(level).padStart(2, '0')}.08`;
  }

  // ---- state ---------------------------------------------------------------------------------

  const view = {
    ws: null,
    role: null,            // 'control' | 'view'
    codec: 'vp9',
    width: 0, height: 0, fps: 30,
    hostConnected: true,
    decoder: null,
    decoderKey: '',        // codec string + size the decoder is configured for
    needKey: true,         // inter frames are useless until the next key frame
    pending: null,         // newest decoded VideoFrame not yet painted
    lastDecoded: 0,
    retryDelay: 500,
    retryTimer: 0,
    pingTimer: 0,
    stopped: false,        // signed out or unsupported: no reconnecting
    cursorUrl: null,
  };
  const stats = {
    shown: 0, dropped: 0, skipped: 0, received: 0, keyFrames: 0, keyRequests: 0,
    decodeMs: [], bytes: [], rttMs: NaN, started: new Map(), lastCaptureMs: 0,
    lastPaintAt: 0, firstPaintAt: 0, openedAt: 0, helloAt: 0, firstVideoAt: 0, firstKeyAt: 0,
    firstOutputAt: 0, decodeErrors: 0, connects: 0,
  };
  // For tests and the benchmark: read-only view of what the page is doing.
  window.rcViewer = {view, stats, codecString};

  function setState(kind, text) {
    const el = $('state');
    el.className = `state state-${kind}`;
    el.textContent = text;
  }

  function showMessage(text) {
    const el = $('message');
    el.textContent = text;
    el.hidden = !text;
  }

  // ---- capability checks ---------------------------------------------------------------------

  function unsupportedReason() {
    if (!window.isSecureContext) {
      return 'This page is not in a secure context, so the browser offers no video decoder. ' +
             'Open it over https:// (accept the certificate rcweb printed the fingerprint of), ' +
             'or through an SSH tunnel as http://localhost.';
    }
    if (typeof window.VideoDecoder !== 'function') {
      return 'This browser has no WebCodecs video decoder (VideoDecoder). Use a current ' +
             'Chromium, Chrome, Edge, Firefox (130 or later) or Safari (16.4 or later).';
    }
    return '';
  }

  // ---- sign-in -------------------------------------------------------------------------------

  async function postLogin(field, value) {
    const body = new URLSearchParams({[field]: value});
    const r = await fetch('/login', {method: 'POST', body, credentials: 'same-origin'});
    return r.status;
  }

  async function sessionRole() {
    const r = await fetch('/session', {credentials: 'same-origin', cache: 'no-store'});
    if (r.status !== 200) return null;
    const j = await r.json();
    return j.role || null;
  }

  function showLogin(error) {
    setState('idle', 'Signed out');
    showMessage('');
    const form = $('login');
    form.hidden = false;
    $('login-error').textContent = error || '';
    $('login-error').hidden = !error;
    $('password').focus();
  }

  function loginStatusText(status) {
    if (status === 403) return 'Too many failed sign-ins from this address. Try again later.';
    if (status === 401) return 'Sign-in failed.';
    return `Sign-in failed (HTTP ${status}).`;
  }

  $('login').addEventListener('submit', async (e) => {
    e.preventDefault();
    const pw = $('password').value;
    $('password').value = '';
    let status;
    try {
      status = await postLogin('password', pw);
    } catch (err) {
      showLogin('The server cannot be reached.');
      return;
    }
    if (status === 204 || status === 200) {
      $('login').hidden = true;
      view.stopped = false;
      connect();
    } else {
      showLogin(loginStatusText(status));
    }
  });

  async function start() {
    const reason = unsupportedReason();
    if (reason) {
      view.stopped = true;
      setState('down', 'Unsupported');
      showMessage(reason);
      return;
    }
    // The one-time token travels in the fragment, which never reaches a server log; take it
    // out of the address bar before anything else so that it is not bookmarked or shared.
    const m = /(?:^#|&)token=([^&]*)/.exec(location.hash);
    if (m) {
      history.replaceState(null, '', location.pathname + location.search);
      setState('connecting', 'Signing in');
      let status = 0;
      try {
        status = await postLogin('token', decodeURIComponent(m[1]));
      } catch (err) {
        status = 0;
      }
      if (status !== 204 && status !== 200) {
        // A used or wrong token: an earlier session cookie may still be good.
        if ((await sessionRole().catch(() => null)) === null) {
          showLogin(status ? loginStatusText(status) : 'The server cannot be reached.');
          return;
        }
      }
    }
    let role = null;
    try {
      role = await sessionRole();
    } catch (err) {
      setState('down', 'Offline');
      scheduleReconnect();
      return;
    }
    if (!role) {
      showLogin('');
      return;
    }
    connect();
  }

  // ---- connection ----------------------------------------------------------------------------

  function connect() {
    clearTimeout(view.retryTimer);
    if (view.stopped) return;
    setState('connecting', view.ws ? 'Reconnecting' : 'Connecting');
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const ws = new WebSocket(`${scheme}//${location.host}/ws`);
    ws.binaryType = 'arraybuffer';
    view.ws = ws;
    let opened = false;
    ws.onopen = () => {
      opened = true;
      stats.connects++;
      stats.openedAt = performance.now();
      view.retryDelay = 500;
      setState('live', view.hostConnected ? 'Connected' : 'Host offline');
      showMessage('');
      ping();
      view.pingTimer = setInterval(ping, 1000);
    };
    ws.onmessage = (e) => {
      if (ws !== view.ws) return;
      if (typeof e.data === 'string') onText(e.data);
      else onBinary(e.data);
    };
    ws.onclose = async () => {
      if (ws !== view.ws) return;
      clearInterval(view.pingTimer);
      releaseLocal();
      resetDecoder();
      setState('down', 'Disconnected');
      if (!opened) {
        // A refused upgrade looks like any other failure here; ask whether the session is
        // still good before retrying with it.
        const role = await sessionRole().catch(() => undefined);
        if (role === null) {
          view.stopped = true;
          showLogin('Your session has ended. Sign in again.');
          return;
        }
      }
      scheduleReconnect();
    };
  }

  function scheduleReconnect() {
    if (view.stopped) return;
    const delay = view.retryDelay * (0.8 + 0.4 * Math.random());
    view.retryDelay = Math.min(view.retryDelay * 2, 10000);
    setState('down', `Reconnecting in ${Math.round(delay / 100) / 10} s`);
    clearTimeout(view.retryTimer);
    view.retryTimer = setTimeout(connect, delay);
  }

  function sendText(obj) {
    if (view.ws && view.ws.readyState === WebSocket.OPEN) view.ws.send(JSON.stringify(obj));
  }

  function sendBinary(buf) {
    if (view.ws && view.ws.readyState === WebSocket.OPEN) view.ws.send(buf);
  }

  function ping() {
    sendText({type: 'ping', t: performance.now()});
  }

  function onText(text) {
    let msg;
    try {
      msg = JSON.parse(text);
    } catch (err) {
      return;
    }
    switch (msg.type) {
      case 'hello':
        if (!stats.helloAt) stats.helloAt = performance.now();
        view.codec = msg.codec === 'vp8' ? 'vp8' : 'vp9';
        view.width = msg.width | 0;
        view.height = msg.height | 0;
        view.fps = msg.fps || 30;
        setRole(msg.role);
        setupDecoder(view.codec, view.width, view.height);
        break;
      case 'role':
        setRole(msg.role);
        break;
      case 'pong':
        if (typeof msg.t === 'number') stats.rttMs = performance.now() - msg.t;
        break;
      case 'host':
        view.hostConnected = !!msg.connected;
        // A restarted host starts a new stream: nothing before its key frame decodes.
        if (!view.hostConnected) view.needKey = true;
        setState(view.hostConnected ? 'live' : 'connecting',
                 view.hostConnected ? 'Connected' : 'Host offline');
        break;
      default:
        break;  // unknown types are ignored
    }
  }

  function setRole(role) {
    const was = view.role;
    view.role = role === 'control' ? 'control' : 'view';
    $('role').textContent = view.role === 'control' ? 'in control' : 'view only';
    $('control').hidden = view.role === 'control';
    if (was === 'control' && view.role !== 'control') releaseLocal();
  }

  $('control').addEventListener('click', () => sendText({type: 'control'}));

  // ---- video ---------------------------------------------------------------------------------

  function resetDecoder() {
    if (view.decoder && view.decoder.state !== 'closed') {
      try {
        view.decoder.close();
      } catch (err) { /* already closed */ }
    }
    view.decoder = null;
    view.decoderKey = '';
    view.needKey = true;
    stats.started.clear();
    if (view.pending) {
      view.pending.close();
      view.pending = null;
    }
  }

  function setupDecoder(codec, width, height) {
    const codecName = codecString(codec, width, height, view.fps);
    const key = `${codecName} ${width}x${height}`;
    if (view.decoder && view.decoder.state === 'configured' && view.decoderKey === key) return;
    resetDecoder();
    const decoder = new VideoDecoder({
      output: onDecoded,
      error: (err) => {
        // The decoder is closed after an error; start a fresh one at the next key frame.
        stats.decodeErrors++;
        console.warn('decoder error', err);
        if (view.decoder === decoder) {
          resetDecoder();
          askKeyFrame();
        }
      },
    });
    decoder.configure({
      codec: codecName,
      codedWidth: width,
      codedHeight: height,
      optimizeForLatency: true,
      hardwareAcceleration: 'no-preference',
      // The host converts with BT.601 limited range.
      colorSpace: {primaries: 'smpte170m', transfer: 'smpte170m', matrix: 'smpte170m',
                   fullRange: false},
    });
    view.decoder = decoder;
    view.decoderKey = key;
    view.needKey = true;
  }

  function askKeyFrame() {
    stats.keyRequests++;
    sendText({type: 'keyframe'});
  }

  function onBinary(buf) {
    if (buf.byteLength < 1) return;
    const dv = new DataView(buf);
    const type = dv.getUint8(0);
    if (type === MSG_VIDEO && buf.byteLength >= VIDEO_HEADER) onVideo(dv, buf);
    else if (type === MSG_CURSOR && buf.byteLength >= CURSOR_HEADER) onCursor(dv, buf);
  }

  function onVideo(dv, buf) {
    const flags = dv.getUint8(1);
    const key = (flags & 1) !== 0;
    const codec = (flags & 2) ? 'vp8' : 'vp9';
    const frame = dv.getUint32(4, true);
    const width = dv.getUint16(8, true);
    const height = dv.getUint16(10, true);
    const captureMs = dv.getFloat64(12, true);
    stats.received++;
    if (!stats.firstVideoAt) stats.firstVideoAt = performance.now();
    if (key && !stats.firstKeyAt) stats.firstKeyAt = performance.now();
    if (key) stats.keyFrames++;
    stats.bytes.push([performance.now(), buf.byteLength]);
    if (key && (codec !== view.codec || width !== view.width || height !== view.height ||
                !view.decoder)) {
      view.codec = codec;
      view.width = width;
      view.height = height;
      setupDecoder(codec, width, height);
    }
    if (!view.decoder) {
      setupDecoder(view.codec, view.width || width, view.height || height);
    }
    if (view.needKey && !key) {
      stats.skipped++;
      return;
    }
    view.needKey = false;
    stats.started.set(frame, {t: performance.now(), captureMs});
    try {
      view.decoder.decode(new EncodedVideoChunk({
        type: key ? 'key' : 'delta',
        timestamp: frame,
        data: new Uint8Array(buf, VIDEO_HEADER),
      }));
    } catch (err) {
      stats.decodeErrors++;
      resetDecoder();
      askKeyFrame();
    }
  }

  function onDecoded(frame) {
    const n = frame.timestamp;
    if (!stats.firstOutputAt) stats.firstOutputAt = performance.now();
    const started = stats.started.get(n);
    if (started) {
      stats.started.delete(n);
      pushSample(stats.decodeMs, performance.now() - started.t);
      stats.lastCaptureMs = started.captureMs;
    }
    // Only the newest frame is worth painting: close the one still waiting.
    if (view.pending) {
      view.pending.close();
      stats.dropped++;
    }
    view.pending = frame;
    if (n > view.lastDecoded || n < view.lastDecoded - 1000) view.lastDecoded = n;
    const ack = new ArrayBuffer(8);
    const dv = new DataView(ack);
    dv.setUint8(0, MSG_ACK);
    dv.setUint32(4, n, true);
    sendBinary(ack);
  }

  function paint() {
    requestAnimationFrame(paint);
    const frame = view.pending;
    if (!frame) return;
    view.pending = null;
    const w = frame.displayWidth, h = frame.displayHeight;
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
      fitCanvas();
    }
    ctx.drawImage(frame, 0, 0, w, h);
    frame.close();
    stats.shown++;
    stats.lastPaintAt = performance.now();
    if (!stats.firstPaintAt) stats.firstPaintAt = stats.lastPaintAt;
  }
  requestAnimationFrame(paint);

  // Scale the canvas to the stage, keeping the remote screen's aspect ratio.
  function fitCanvas() {
    const w = canvas.width, h = canvas.height;
    if (!w || !h) return;
    const sw = stage.clientWidth, sh = stage.clientHeight;
    const scale = Math.min(sw / w, sh / h);
    canvas.style.width = `${Math.floor(w * scale)}px`;
    canvas.style.height = `${Math.floor(h * scale)}px`;
  }
  window.addEventListener('resize', fitCanvas);
  document.addEventListener('fullscreenchange', fitCanvas);

  // ---- cursor --------------------------------------------------------------------------------

  function onCursor(dv, buf) {
    const hotX = dv.getInt16(2, true);
    const hotY = dv.getInt16(4, true);
    const width = dv.getUint16(6, true);
    const height = dv.getUint16(8, true);
    const png = new Blob([new Uint8Array(buf, CURSOR_HEADER)], {type: 'image/png'});
    if (view.cursorUrl) URL.revokeObjectURL(view.cursorUrl);
    if (!width || !height || png.size === 0) {
      view.cursorUrl = null;
      canvas.style.cursor = 'none';
      return;
    }
    view.cursorUrl = URL.createObjectURL(png);
    const x = Math.max(0, Math.min(hotX, width - 1));
    const y = Math.max(0, Math.min(hotY, height - 1));
    canvas.style.cursor = `url(${view.cursorUrl}) ${x} ${y}, default`;
  }

  // ---- input ---------------------------------------------------------------------------------

  const heldKeys = new Set();     // codes this page has sent down
  const heldButtons = new Set();  // protocol button numbers sent down

  function inControl() {
    return view.role === 'control' && view.ws && view.ws.readyState === WebSocket.OPEN;
  }

  function sendKey(vk, extended, down) {
    const b = new ArrayBuffer(5);
    const dv = new DataView(b);
    dv.setUint8(0, MSG_KEY);
    dv.setUint8(1, down ? 1 : 0);
    dv.setUint8(2, extended ? 1 : 0);
    dv.setUint16(3, vk, true);
    sendBinary(b);
  }

  function remotePoint(e) {
    const r = canvas.getBoundingClientRect();
    const w = canvas.width, h = canvas.height;
    const x = Math.floor((e.clientX - r.left) * w / Math.max(1, r.width));
    const y = Math.floor((e.clientY - r.top) * h / Math.max(1, r.height));
    return [Math.max(0, Math.min(w - 1, x)), Math.max(0, Math.min(h - 1, y))];
  }

  function sendMove(x, y) {
    const b = new ArrayBuffer(10);
    const dv = new DataView(b);
    dv.setUint8(0, MSG_MOVE);
    dv.setInt32(2, x, true);
    dv.setInt32(6, y, true);
    sendBinary(b);
  }

  function sendButton(button, down, x, y) {
    const b = new ArrayBuffer(12);
    const dv = new DataView(b);
    dv.setUint8(0, MSG_BUTTON);
    dv.setUint8(1, button);
    dv.setUint8(2, down);
    dv.setInt32(4, x, true);
    dv.setInt32(8, y, true);
    sendBinary(b);
  }

  function sendWheel(x, y, delta) {
    const b = new ArrayBuffer(14);
    const dv = new DataView(b);
    dv.setUint8(0, MSG_WHEEL);
    dv.setInt32(2, x, true);
    dv.setInt32(6, y, true);
    dv.setInt32(10, delta, true);
    sendBinary(b);
  }

  // Forget what is held here and tell rcweb to let go of it on the remote side.
  function releaseLocal() {
    const had = heldKeys.size || heldButtons.size;
    heldKeys.clear();
    heldButtons.clear();
    if (had || inControl()) sendBinary(new Uint8Array([MSG_RELEASE]).buffer);
  }

  function onKey(e, down) {
    if (!inControl() || !$('login').hidden) return;
    const entry = KEY_CODES[e.code];
    if (!entry) return;
    e.preventDefault();
    e.stopPropagation();
    const [vk, extended] = entry;
    if (vk === VK_CAPITAL) {
      // Some browsers report Caps Lock only as a down when locking and an up when unlocking:
      // send the whole press on the first event and nothing on the other.
      if (down && !e.repeat) {
        sendKey(vk, extended, true);
        sendKey(vk, extended, false);
      }
      return;
    }
    if (down) {
      // The remote side repeats a held key itself.
      if (e.repeat && heldKeys.has(e.code)) return;
      heldKeys.add(e.code);
      sendKey(vk, extended, true);
    } else {
      heldKeys.delete(e.code);
      sendKey(vk, extended, false);
    }
  }
  window.addEventListener('keydown', (e) => onKey(e, true), true);
  window.addEventListener('keyup', (e) => onKey(e, false), true);

  // Browser button numbers → protocol buttons (0 left, 1 right, 2 middle, 3 back, 4 forward).
  const BUTTONS = {0: 0, 1: 2, 2: 1, 3: 3, 4: 4};

  canvas.addEventListener('pointermove', (e) => {
    if (!inControl()) return;
    const events = e.getCoalescedEvents ? e.getCoalescedEvents() : [];
    const last = events.length ? events[events.length - 1] : e;
    const [x, y] = remotePoint(last);
    sendMove(x, y);
  });
  canvas.addEventListener('pointerdown', (e) => {
    canvas.focus();
    if (!inControl()) return;
    const b = BUTTONS[e.button];
    if (b === undefined) return;
    e.preventDefault();
    canvas.setPointerCapture(e.pointerId);
    const [x, y] = remotePoint(e);
    heldButtons.add(b);
    sendButton(b, 1, x, y);
  });
  canvas.addEventListener('pointerup', (e) => {
    if (!inControl()) return;
    const b = BUTTONS[e.button];
    if (b === undefined) return;
    e.preventDefault();
    const [x, y] = remotePoint(e);
    heldButtons.delete(b);
    sendButton(b, 0, x, y);
  });
  canvas.addEventListener('contextmenu', (e) => e.preventDefault());
  canvas.addEventListener('auxclick', (e) => e.preventDefault());

  let wheelRest = 0;
  canvas.addEventListener('wheel', (e) => {
    if (!inControl()) return;
    e.preventDefault();
    // Pixels; lines and pages are turned into pixels the way browsers usually scroll them.
    const unit = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? canvas.clientHeight : 1;
    wheelRest += -e.deltaY * unit;
    const delta = Math.trunc(wheelRest);
    if (!delta) return;
    wheelRest -= delta;
    const [x, y] = remotePoint(e);
    sendWheel(x, y, delta);
  }, {passive: false});

  window.addEventListener('blur', releaseLocal);
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState !== 'visible') releaseLocal();
  });
  window.addEventListener('pagehide', releaseLocal);

  // ---- full screen ---------------------------------------------------------------------------

  $('fullscreen').addEventListener('click', async () => {
    if (document.fullscreenElement) {
      await document.exitFullscreen().catch(() => {});
      return;
    }
    try {
      await stage.requestFullscreen({navigationUI: 'hide'});
      // Only in full screen does the browser hand its own shortcuts (Ctrl+W, Alt+Tab…) over.
      if (navigator.keyboard && navigator.keyboard.lock) await navigator.keyboard.lock();
    } catch (err) {
      console.warn('full screen', err);
    }
    canvas.focus();
  });
  document.addEventListener('fullscreenchange', () => {
    $('fullscreen').textContent = document.fullscreenElement ? 'Leave full screen' : 'Full screen';
    if (!document.fullscreenElement && navigator.keyboard && navigator.keyboard.unlock) {
      navigator.keyboard.unlock();
    }
  });

  // ---- statistics ----------------------------------------------------------------------------

  function pushSample(list, v) {
    list.push(v);
    if (list.length > 300) list.shift();
  }

  function percentile(list, p) {
    if (!list.length) return NaN;
    const s = [...list].sort((a, b) => a - b);
    return s[Math.min(s.length - 1, Math.floor(p * s.length))];
  }

  function fmt(v, digits = 1) {
    return Number.isFinite(v) ? v.toFixed(digits) : '–';
  }

  function updateStats() {
    const now = performance.now();
    while (stats.bytes.length && stats.bytes[0][0] < now - 2000) stats.bytes.shift();
    const bits = stats.bytes.reduce((a, [, n]) => a + n, 0) * 8 / 2;
    stats.bitrate = bits;
    if ($('stats').hidden) return;
    $('stats').textContent = [
      `screen     ${view.width}×${view.height} ${view.codec} ${view.role || ''}`,
      `shown      ${stats.shown} of ${stats.received} (${stats.keyFrames} key)`,
      `dropped    ${stats.dropped + stats.skipped}`,
      `decode ms  p50 ${fmt(percentile(stats.decodeMs, 0.5))}  p95 ${
          fmt(percentile(stats.decodeMs, 0.95))}`,
      `bit rate   ${fmt(bits / 1e6, 2)} Mbit/s`,
      `round trip ${fmt(stats.rttMs)} ms`,
    ].join('\n');
  }
  setInterval(updateStats, 500);

  $('stats-toggle').addEventListener('click', () => {
    const el = $('stats');
    el.hidden = !el.hidden;
    $('stats-toggle').setAttribute('aria-pressed', String(!el.hidden));
    updateStats();
  });

  start();
})();
