// The settings page on stubbed routes, part two: the notice preview, the key
// test, the folder picker, the disk meter, live state and its refresh,
// actions, and hostile texts.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openStubbed, finish, screenshot, until, settled, reached, still, TOKEN } from './pages/support.mjs';
import { KEYS, status, okSave, settings, built, idle, saves, shownSection, toastIs, row, waitFor, dropNetErrors } from './pages/settings_fixture.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

test('notice preview geometry: position, size, monitor factor', async () => {
  const cases = [
    { mon: [2560, 1440], size: '', pos: 'arriba_centro', w: 14.84375, h: 5.2778, left: 50 - 14.84375 / 2, top: 10.5 },
    { mon: [2560, 1440], size: '150%', pos: 'arriba_izquierda', w: 14.84375 * 1.5, h: 5.2778 * 1.5, left: 1.40625, top: 2.5 },
    { mon: [2560, 1440], size: '100', pos: 'arriba_derecha', w: 14.84375, h: 5.2778, right: 1.40625, top: 2.5 },
    { mon: [2560, 1440], size: 'x', pos: 'abajo_centro', w: 14.84375, h: 5.2778, bottom: 12 },
    { mon: [3840, 4320], size: '100', pos: 'arriba_centro', w: 380 * 2 / 3840 * 100, h: 76 * 2 / 4320 * 100 },
    { mon: [1280, 600], size: '100', pos: 'arriba_centro', w: 380 * 0.6 / 1280 * 100, h: 76 * 0.6 / 600 * 100 },
  ];
  for (const c of cases) {
    const s = await settings(browser, { hash: '#avisos', st: status({ monitor: c.mon, valores: { 'avisos.tamano': c.size, 'avisos.posicion': c.pos } }) });
    await built(s.page);
    const st = await s.page.evaluate(() => { const x = document.querySelector('.ncard').style; return { w: x.width, h: x.height, left: x.left, right: x.right, top: x.top, bottom: x.bottom }; });
    const pct = (v) => (v === '' ? null : parseFloat(v));
    const close = (a, b, what) => assert.ok(Math.abs(a - b) < 0.01, `${what}: ${a} vs ${b} ${JSON.stringify(c)}`);
    close(pct(st.w), c.w, 'width');
    close(pct(st.h), c.h, 'height');
    for (const k of ['left', 'right', 'top', 'bottom']) if (c[k] !== undefined) close(pct(st[k]), c[k], k);
    if (c.size === '' && c.pos === 'arriba_centro') {
      await still(s.page);
      await screenshot(s.page, 'ajustes-avisos.png');
    }
    await finish(s);
  }
});

test('the notice test and a position change', async () => {
  for (const [reply, text, err] of [[() => ({ ok: true }), 'Mira tu pantalla: aparece un aviso de prueba', false], [() => ({ ok: false }), 'Los avisos están apagados (actívalos arriba)', true]]) {
    const s = await settings(browser, { hash: '#avisos', api: { '/api/accion': reply } });
    await built(s.page);
    await s.page.getByText('👁 Probar aviso en mi pantalla').click();
    await toastIs(s.page, text);
    assert.equal(await s.page.locator('#toast').getAttribute('class'), 'show' + (err ? ' err' : ''));
    await s.page.getByLabel('Dónde aparece').selectOption('abajo_centro');
    await until(s.page, () => !saving && pending.size === 0 && document.querySelector('.ncard').style.bottom === '12%');
    await idle(s.page);
    assert.deepEqual(saves(s.seen), [[{ s: 'avisos', k: 'posicion', v: 'abajo_centro' }]]);
    await finish(s);
  }
});

test('the Gemini key test', async () => {
  const cases = [
    { key: '', reply: () => ({ ok: false, error: 'escribe tu clave primero' }), text: 'escribe tu clave primero', err: true, saved: [] },
    { key: ' AIza-1 ', reply: () => ({ ok: true, modelos: ['gemini-pro', 'gemini-3.8-flash', 'x-flash-1', 'a-flash', 'b-flash', 'c-flash'] }),
      text: '¡Funciona! Modelos disponibles: gemini-3.8-flash, x-flash-1, a-flash, b-flash', err: false, saved: [[{ s: 'ia', k: 'clave_gemini', v: 'AIza-1' }]] },
    { key: 'k', reply: () => ({ ok: true, modelos: ['gemini-pro', 'gemini-ultra', 'FLASH'] }), text: '¡Funciona! Modelos disponibles: 3', err: false, saved: [[{ s: 'ia', k: 'clave_gemini', v: 'k' }]] },
    { key: 'k', reply: () => 'abort', text: 'Corvane no responde', err: true, saved: [] },
  ];
  for (const c of cases) {
    // The reply waits until the test has seen the button while the call runs.
    let release;
    const gate = new Promise((r) => { release = r; });
    // A save's own toast would take the place of the one under test: its reply
    // waits until that one has been read.
    let releaseSave;
    const saveGate = new Promise((r) => { releaseSave = r; });
    const s = await settings(browser, { hash: '#ia', api: {
      '/api/probar_ia': async (...a) => { await gate; return c.reply(...a); },
      '/api/guardar': async () => { await saveGate; return okSave()(); },
    } });
    const { page } = s;
    await built(page);
    // The field is filled without a change event, so only the test may save it.
    await page.evaluate((k) => { controls['ia.clave_gemini'].value = k; }, c.key);
    const probe = page.getByText('Probar clave');
    await probe.click();
    assert.equal(await page.locator('button.primary', { hasText: 'Probando…' }).isDisabled(), true);
    release();
    await toastIs(page, c.text);
    assert.equal(await page.locator('#toast').getAttribute('class'), 'show' + (c.err ? ' err' : ''));
    releaseSave();
    await idle(page);
    assert.equal(await probe.isDisabled(), false);
    assert.deepEqual(s.seen.calls.find((x) => x.path === '/api/probar_ia').body, { clave: c.key.trim() });
    assert.deepEqual(saves(s.seen), c.saved);
    dropNetErrors(s.seen);
    await finish(s);
  }
  const s = await settings(browser, { hash: '#ia' });
  await built(s.page);
  const field = s.page.getByLabel('Clave de Gemini');
  assert.equal(await field.getAttribute('type'), 'password');
  await s.page.getByLabel('Mostrar u ocultar').click();
  assert.equal(await field.getAttribute('type'), 'text');
  await finish(s);
});

test('the folder picker: a chosen folder is saved, a cancel changes nothing', async () => {
  for (const [ruta, saved] of [['/home/u/Clips nuevos', [[{ s: 'general', k: 'carpeta_clips', v: '/home/u/Clips nuevos' }]]], [null, []], ['', []]]) {
    const s = await settings(browser, { hash: '#detector', api: { '/api/elegir_carpeta': () => ({ ruta }) } });
    await built(s.page);
    await s.page.getByText('Elegir…').click();
    await waitFor(() => s.seen.calls.some((c) => c.path === '/api/elegir_carpeta'));
    if (saved.length) await waitFor(() => saves(s.seen).length === saved.length);
    // A cancel leaves no trace: the reply taken in and nothing queued after it.
    else await idle(s.page);
    assert.equal(await row(s.page, 'Carpeta de clips').locator('input').inputValue(), ruta ?? '');
    assert.deepEqual(saves(s.seen), saved);
    assert.deepEqual(s.seen.calls.find((c) => c.path === '/api/elegir_carpeta').body, {});
    await finish(s);
  }
});

test('the disk meter', async () => {
  const G = 1073741824;
  const cases = [
    [{ auto: 0, auto_n: 0, archivados: 0, archivados_n: 0, manuales: 0, manuales_n: 0, limite: 0 }, '0 MB · 0 clips automáticos · sin límite', '0%', '', ''],
    [{ auto: 95 * G, auto_n: 12, archivados: 3 * G / 2, archivados_n: 2, manuales: 300 * 1048576, manuales_n: 1, limite: 100 * G },
      '95 GB de 100 GB (95%) · 12 clips automáticos', '95%', 'red', '📌 2 archivado(s) · 1.5 GB · 1 manual(es) · 300 MB — nunca se borran solos.'],
    [{ auto: 75 * G, auto_n: 3, limite: 100 * G, manuales_n: 0 }, '75 GB de 100 GB (75%) · 3 clips automáticos', '75%', 'gold', ''],
    [{ auto: 250 * G, auto_n: 1, limite: 100 * G }, '250 GB de 100 GB (100%) · 1 clips automáticos', '100%', 'red', ''],
    [{ auto: 1234.56 * G, auto_n: 1, limite: 5000 * G }, '1,234.6 GB de 5,000 GB (25%) · 1 clips automáticos', '24.6912%', '', ''],
  ];
  for (const [disco, text, width, cls, note] of cases) {
    const s = await settings(browser, { hash: '#detector', st: status({ disco }) });
    await built(s.page);
    const r = row(s.page, 'Espacio usado');
    assert.equal(await r.locator('.diskText').textContent(), text);
    assert.equal(await r.locator('.meter > div').getAttribute('class'), cls);
    assert.equal(await r.locator('.help').textContent(), note);
    const w = await r.locator('.meter > div').evaluate((e) => e.style.width);
    assert.ok(Math.abs(parseFloat(w) - parseFloat(width)) < 0.01, `${w} ${width}`);
    if (cls === 'red' && note) await screenshot(s.page, 'ajustes-detector.png');
    await finish(s);
  }
});

test('live state: status line, game chip, the detector switch follows unless focused', async () => {
  const game = { titulo: 'Call of Duty®: Warzone', exe: 'cod25-cod.exe', warzone: true };
  let live = { detector: true, previa: false, juego_al_frente: false, juego: null };
  const s = await settings(browser, { hash: '#detector', clock: true, api: { '/api/estado': () => status(live) } });
  const { page } = s;
  await built(page);
  const line = () => page.locator('#stateLine').textContent();
  const rows = [
    [{ detector: true, juego: null }, 'Detector esperando el juego'],
    [{ detector: true, juego: game }, 'Detector activo (lee cuando el juego está al frente)'],
    [{ detector: true, juego: game, juego_al_frente: true }, 'Detector leyendo'],
    [{ detector: true, juego: game, previa: true, juego_al_frente: true }, 'Lobby previo: no graba hasta que empiece la partida'],
    [{ detector: false, juego: { ...game, warzone: false, titulo: '<b>x</b>' }, previa: true }, 'Detector apagado'],
  ];
  for (const [st, text] of rows) {
    live = { previa: false, juego_al_frente: false, ...st };
    await page.clock.runFor(4000);
    await until(page, (t) => document.getElementById('stateLine').textContent === t, text);
  }
  assert.equal(await page.locator('#detector_activo').isChecked(), false);
  assert.equal(await page.locator('#chipGame').textContent(), '🎮 <b>x</b>cod25-cod.exe');
  assert.equal(await page.locator('#chipGame').getAttribute('class'), 'chip green');
  // The switch has the focus: a change from the tray does not move it.
  await page.locator('#detector_activo').focus();
  live = { detector: true, juego: null, previa: false, juego_al_frente: false };
  await page.clock.runFor(4000);
  await until(page, () => document.getElementById('stateLine').textContent === 'Detector esperando el juego');
  assert.equal(await page.locator('#detector_activo').isChecked(), false);
  assert.equal(await page.locator('#chipGame').textContent(), 'Ningún Call of Duty abierto');
  await page.locator('#nav .btn').first().focus();
  await page.clock.runFor(4000);
  await until(page, () => document.getElementById('detector_activo').checked);
  assert.equal(await line(), 'Detector esperando el juego');
  await finish(s);
});

test('the refresh is skipped while the page is hidden, and never runs after a failed start', async () => {
  const s = await settings(browser, { clock: true });
  const { page } = s;
  await built(page);
  const polls = () => s.seen.calls.filter((c) => c.path === '/api/estado').length;
  await page.evaluate(() => { Object.defineProperty(document, 'visibilityState', { get: () => 'hidden', configurable: true }); });
  await page.clock.runFor(12000);
  await reached(s);
  assert.equal(polls(), 1);
  await page.evaluate(() => { Object.defineProperty(document, 'visibilityState', { get: () => 'visible', configurable: true }); });
  await page.clock.runFor(4000);
  await waitFor(() => polls() >= 2);
  await finish(s);

  // Inside the home page, a frame of a tab not shown is hidden too.
  const h = await settings(browser, { clock: true });
  await built(h.page);
  await h.page.clock.pauseAt(await h.page.evaluate(() => Date.now() + 2000));
  await h.page.evaluate((t) => {
    const f = document.createElement('iframe');
    f.src = '/ajustes?t=' + t + '&embed=1';
    document.body.appendChild(f);
  }, TOKEN);
  const inner = h.page.frameLocator('iframe');
  await inner.locator('section.card.on').waitFor();
  const framePolls = () => h.seen.calls.filter((c) => c.path === '/api/estado').length;
  const atStart = framePolls();
  // The outer page stands in for the home page: its own polls are stopped.
  await h.page.evaluate(() => { failedStart = true; document.querySelector('iframe').style.display = 'none'; });
  // Time is simulated: a poll due by then has been asked for when runFor returns.
  await h.page.clock.runFor(8000);
  await reached(h);
  assert.equal(framePolls(), atStart, 'a hidden frame does not poll');
  await h.page.evaluate(() => { document.querySelector('iframe').style.display = ''; });
  await h.page.clock.runFor(4000);
  await waitFor(() => framePolls() === atStart + 1);
  await finish(h);

  const f = await settings(browser, { clock: true, api: { '/api/estado': () => 'abort' } });
  await until(f.page, () => document.getElementById('offline'));
  assert.match(await f.page.locator('#offline').textContent(), /^Sin conexión\s*Corvane no está abierto\. Ábrelo y vuelve a entrar desde su ícono junto al reloj\.$/);
  await f.page.clock.runFor(20000);
  await reached(f);
  assert.equal(f.seen.calls.filter((c) => c.path === '/api/estado').length, 1);
  dropNetErrors(f.seen);
  await finish(f);
});

test('actions: confirmation, restart, the closing note, failures', async () => {
  const cases = [
    { a: 'salir', confirm: false, calls: [], closed: null },
    { a: 'salir', confirm: true, calls: ['salir'], closed: 'Se cerró. Ya puedes cerrar esta ventana.' },
    { a: 'reiniciar', calls: ['reiniciar'], closed: 'Se está reiniciando. Esta ventana ya se puede cerrar.', toast: 'Reiniciando Corvane… se abrirá de nuevo esta ventana' },
    { a: 'carpeta', calls: ['carpeta'], closed: null },
    { a: 'ini', calls: ['ini'], closed: null, fail: true, toast: 'Corvane no responde' },
    { a: 'reiniciar', calls: ['reiniciar'], closed: null, fail: true },
  ];
  for (const c of cases) {
    // Time moves only when the test says so: the closing note's delay is simulated.
    const s = await settings(browser, { hash: '#mas', clock: 'paused', st: status({ reiniciar: true }),
      api: { '/api/accion': () => (c.fail ? { status: 500, body: 'x' } : { ok: false }) } });
    const { page } = s;
    await built(page);
    let asked = null;
    page.on('dialog', (d) => { asked = d.message(); return c.confirm ? d.accept() : d.dismiss(); });
    await page.locator(`[data-act="${c.a}"]`).click();
    if (c.toast) await toastIs(page, c.toast);
    // The reply taken in, then past the 700 ms the page waits before its closing note.
    await settled(page);
    await page.clock.runFor(1000);
    if (c.closed) await until(page, () => document.getElementById('closed'));
    assert.deepEqual(s.seen.calls.filter((x) => x.path === '/api/accion').map((x) => x.body.a), c.calls, JSON.stringify(c));
    if (c.a === 'salir') assert.equal(asked, '¿Cerrar Corvane? Dejará de grabar.');
    if (c.closed) assert.match(await page.locator('#closed').textContent(), new RegExp('^Corvane\\s*' + c.closed.replace(/\./g, '\\.') + '$'));
    else assert.equal(await page.locator('#sections').count(), 1);
    if (c.a === 'reiniciar') assert.equal(await page.locator('#floatRestart').isVisible(), false);
    dropNetErrors(s.seen);
    await finish(s);
  }
});

test('warnings and hostile texts are shown as text; the header in its own window', async () => {
  const s = await openStubbed(browser, {
    pageName: 'ajustes.html', pathAndHash: `/ajustes?t=${TOKEN}#grabacion`,
    api: { '/api/estado': () => status({ avisos: ['<img src=x onerror=window.pwned=1>', 'b & "c"'], reiniciar: true, primera_vez: true,
      valores: { 'grabacion.perfil': '"><img src=x onerror=window.pwned=2>' },
      salidas: [{ id: '"><b>', nombre: '<script>window.pwned=3</script>', pred: false }] }) },
  });
  const { page } = s;
  await built(page);
  assert.equal(await page.locator('#warnBox').textContent(), '⚠ Revisa: <img src=x onerror=window.pwned=1> · b & "c"');
  assert.equal(await page.evaluate(() => window.pwned ?? null), null);
  assert.equal(await page.locator('#top').isVisible(), true);
  assert.equal(await page.locator('#ver').textContent(), 'v0.10.45');
  assert.equal(await page.locator('#restartBox').isVisible(), true);
  assert.equal(await page.locator('#floatRestart').textContent(), '↻ Reiniciar para aplicar');
  await still(page);
  await screenshot(page, 'ajustes.png');
  await finish(s);
});
