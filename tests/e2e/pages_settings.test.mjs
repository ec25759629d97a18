// The settings page on stubbed routes, part one: the field table against the
// server's table of editable settings, the first section, what each control
// shows and queues, the shared save timer with one save in flight, device
// lists and key recording.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, finish, until, reached, TOKEN } from './pages/support.mjs';
import { KEYS, status, okSave, settings, built, idle, saves, shownSection, toastIs, row, waitFor, dropNetErrors } from './pages/settings_fixture.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

test('the field table covers the server table but the help page row, with the same live flags', async () => {
  const s = await settings(browser);
  await built(s.page);
  const rows = await s.page.evaluate(() => SECTIONS.flatMap((sec) => sec.rows.flatMap((r) => {
    if (r.kind === 'device') return [r.on, r.idk, r.namek].map((k) => ({ s: 'audio', k, live: !!r.live }));
    return r.s ? [{ s: r.s, k: r.k, live: !!r.live }] : [];
  })));
  const key = (r) => r.s + '.' + r.k;
  assert.equal(KEYS.length, 39);
  assert.deepEqual(rows.map(key).sort(), KEYS.filter((r) => key(r) !== 'actualizaciones.buscar_al_abrir').map(key).sort());
  for (const r of rows) assert.equal(r.live, KEYS.find((k) => key(k) === key(r)).live, key(r));
  // Tags follow the flags.
  assert.equal(await row(s.page, 'Límite de disco').locator('.tag').textContent(), 'al momento');
  assert.equal(await row(s.page, 'Perfil').locator('.tag').textContent(), 'al reiniciar');
  assert.equal(await s.page.locator('#nav').getAttribute('aria-label'), 'Secciones');
  assert.deepEqual(await s.page.locator('#nav .btn').allTextContents(), ['Grabación', 'Audio', 'Teclas', 'Detector y clips', 'Avisos', 'IA', 'Más']);
  assert.equal(await s.page.title(), 'Corvane · Ajustes');
  await finish(s);
});

test('the first section: first run, stored section, address fragment, unknown names', async () => {
  const cases = [
    { first: true, stored: 'ia', hash: '', want: 'audio' },
    { first: true, stored: 'teclas', hash: '#ia', want: 'ia' },
    { first: false, stored: 'teclas', hash: '', want: 'teclas' },
    { first: false, stored: null, hash: '', want: 'grabacion' },
    { first: false, stored: 'avisos', hash: '#nada', want: 'grabacion' },
    { first: false, stored: 'zzz', hash: '', want: 'grabacion' },
    { first: false, stored: null, hash: '#detector', want: 'detector' },
  ];
  for (const c of cases) {
    const s = await settings(browser, { hash: c.hash, st: status({ primera_vez: c.first }), storage: c.stored ? { crvn_cfg_sec: c.stored } : {} });
    await built(s.page);
    assert.equal(await shownSection(s.page), c.want, JSON.stringify(c));
    assert.equal(await s.page.locator('#welcomeBox').isVisible(), c.first);
    assert.equal(await s.page.evaluate(() => localStorage.getItem('crvn_cfg_sec')), c.want);
    await finish(s);
  }
});

test('window messages of the own origin pick a section; others are ignored', async () => {
  const s = await settings(browser, { hash: '#audio' });
  await built(s.page);
  // A listener of the test's own, heard in the same dispatch as the page's.
  await s.page.evaluate(() => { window.heard = 0; window.addEventListener('message', () => { window.heard += 1; }); });
  const msgs = [[{ crvn: 'seccion', sec: 'ia' }, 'ia'], [{ crvn: 'seccion', sec: 'manual' }, 'ia'], [{ crvn: 'otro', sec: 'mas' }, 'ia'], [{ crvn: 'seccion', sec: 'mas' }, 'mas']];
  for (const [i, [msg, want]] of msgs.entries()) {
    await s.page.evaluate((m) => window.postMessage(m, location.origin), msg);
    await until(s.page, (n) => window.heard === n, i + 1);
    assert.equal(await shownSection(s.page), want, JSON.stringify(msg));
  }
  await finish(s);
});

test('stored values and what each control shows, loader defaults for missing or unknown words', async () => {
  const cases = [
    // [setting, stored, how to read, expected]
    ['grabacion.perfil', 'ultra', 'select', ['ultra', 'ultra (actual)']],
    ['grabacion.perfil', 'Calidad', 'select', ['calidad', 'Calidad · 60 fps']],
    ['grabacion.perfil', '', 'select', ['supercalidad', 'Super calidad · 120 fps']],
    ['avanzado.codec', '', 'select', ['', 'Automático (HEVC)']],
    ['avisos.posicion', '', 'select', ['arriba_centro', '↑ Arriba al centro']],
    ['hdr.corregir', '', 'switch', true],
    ['hdr.corregir', 'No', 'switch', false],
    ['hdr.corregir', 'quizá', 'switch', true],
    ['aviso.sonido', 'OFF', 'switch', false],
    ['audio.nivelar_microfono', 'Sí', 'switch', true],
    ['audio.volumen_juego', '', 'slider', ['100', '100%']],
    ['audio.volumen_microfono', '', 'slider', ['100', '100%']],
    ['aviso.volumen', '', 'slider', ['25', '25%']],
    ['avisos.tamano', '150 %', 'slider', ['150', '150%']],
    ['avisos.duracion', '2,5 s', 'slider', ['2.5', '2.5 s']],
    ['avisos.duracion', 'mucho', 'slider', ['3', '3 s']],
    ['ia.fps', '', 'slider', ['3', '3 cuadros/s']],
  ];
  const valores = {};
  for (const [k, v] of cases) if (!(k in valores)) valores[k] = v;
  for (const [k, v, how, want] of cases) {
    const s = await settings(browser, { st: status({ valores: { [k]: v } }) });
    await built(s.page);
    const got = await s.page.evaluate(([k, how]) => {
      const c = controls[k];
      if (how === 'switch') return c.checked;
      if (how === 'select') return [c.value, c.options[c.selectedIndex].textContent];
      return [c.value, c.nextSibling.textContent];
    }, [k, how]);
    assert.deepEqual(got, want, `${k}=${v}`);
    await finish(s);
  }
});

test('numbers round, clamp and write back; text is trimmed; switches and lists queue their value', async () => {
  const s = await settings(browser, { hash: '#detector' });
  const { page } = s;
  await built(page);
  const steps = [
    ['Segundos antes del evento', '7.5', '8'],
    ['Segundos antes del evento', '-3', '0'],
    ['Segundos para cerrar la escena', '2.49', '2'],
    ['Límite de disco', '12.5', '13'],
    ['Límite de disco', '', ''],
  ];
  for (const [label, typed, want] of steps) {
    const inp = row(page, label).locator('input');
    await inp.fill(typed);
    await inp.press('Tab');
    assert.equal(await inp.inputValue(), want, `${label} ${typed}`);
    await until(page, () => !saving && pending.size === 0);
  }
  await page.evaluate(() => show('grabacion'));
  const fps = row(page, 'Cuadros por segundo').locator('input');
  await fps.fill('500');
  await fps.press('Tab');
  assert.equal(await fps.inputValue(), '120');
  await row(page, 'Blanco SDR').locator('input').fill('  200 ');
  await row(page, 'Blanco SDR').locator('input').press('Tab');
  await row(page, 'Perfil').locator('select').selectOption('ligero');
  await page.locator('#hdr_corregir').click();
  await idle(page);
  const sent = saves(s.seen).flat();
  assert.deepEqual(sent, [
    { s: 'clips', k: 'segundos_antes', v: '8' }, { s: 'clips', k: 'segundos_antes', v: '0' },
    { s: 'clips', k: 'segundos_despues', v: '2' }, { s: 'clips', k: 'limite_disco_gb', v: '13' }, { s: 'clips', k: 'limite_disco_gb', v: '' },
    { s: 'avanzado', k: 'fps', v: '120' }, { s: 'hdr', k: 'blanco_sdr', v: '200' },
    { s: 'grabacion', k: 'perfil', v: 'ligero' }, { s: 'hdr', k: 'corregir', v: 'no' },
  ]);
  const call = s.seen.calls.find((c) => c.path === '/api/guardar');
  assert.deepEqual([call.method, call.key, call.type], ['POST', TOKEN, 'application/json']);
  await finish(s);
});

test('saving: toasts and banners follow the reply', async () => {
  const cases = [
    [okSave({ en_vivo: true }), 'Guardado · aplicado al momento', false, false],
    [okSave({ en_vivo: true, reiniciar: true }), 'Guardado', false, true],
    [okSave({ en_vivo: false }), 'Guardado', false, false],
    [() => ({ ok: false, errores: ['opción desconocida a.b', 'no se pudo guardar c: x'], avisos: ['fps \'9\' no válido (entre 15 y 120)'], reiniciar: false }),
      'opción desconocida a.b · no se pudo guardar c: x', true, false],
    [() => ({ ok: false, error: 'sin cambios' }), 'sin cambios', true, false],
    [() => ({ ok: false, errores: [] }), 'No se pudo guardar', true, false],
    [() => ({ errores: [] }), 'No se pudo guardar', true, false],
    [() => ({ status: 500, body: 'x' }), 'Corvane no responde. ¿Está abierto?', true, false],
  ];
  for (const [reply, text, err, restart] of cases) {
    const s = await settings(browser, { hash: '#detector', api: { '/api/guardar': reply } });
    await built(s.page);
    await s.page.locator('#detector_activo').click();
    await toastIs(s.page, text);
    assert.equal(await s.page.locator('#toast').getAttribute('class'), 'show' + (err ? ' err' : ''), text);
    assert.equal(await s.page.locator('#restartBox').isVisible(), restart);
    assert.equal(await s.page.locator('#floatRestart').isVisible(), restart);
    if (text.startsWith('opción')) assert.equal(await s.page.locator('#warnBox').textContent(), '⚠ Revisa: fps \'9\' no válido (entre 15 y 120)');
    dropNetErrors(s.seen);
    await finish(s);
  }
});

test('one save in flight: changes made meanwhile go in the next request, none is lost', async () => {
  let release;
  const gate = [];
  const s = await settings(browser, {
    hash: '#grabacion',
    api: { '/api/guardar': () => new Promise((res) => { gate.push(() => res(okSave()())); release = () => gate.shift()(); }) },
  });
  const { page } = s;
  await built(page);
  await row(page, 'Perfil').locator('select').selectOption('ligero');
  await until(page, () => saving === true);
  // Two more changes while the first request waits; the second replaces the first in place.
  await row(page, 'Resolución').locator('select').selectOption('720');
  await row(page, 'Perfil').locator('select').selectOption('calidad');
  await row(page, 'Codec').locator('select').selectOption('h264');
  // The save timer has fired with the first request still out, and whatever
  // the page asked for by then has reached the stub.
  await until(page, () => saveTimer === null && saving === true);
  await reached(s);
  assert.equal(saves(s.seen).length, 1, 'nothing more is sent while the first save is under way');
  release();
  await waitFor(() => saves(s.seen).length === 2);
  assert.deepEqual(saves(s.seen), [
    [{ s: 'grabacion', k: 'perfil', v: 'ligero' }],
    [{ s: 'grabacion', k: 'resolucion', v: '720' }, { s: 'grabacion', k: 'perfil', v: 'calidad' }, { s: 'avanzado', k: 'codec', v: 'h264' }],
  ]);
  release();
  await toastIs(page, 'Guardado');
  await until(page, () => saving === false);
  await finish(s);
});

test('sliders: live ones send 180 ms after the last move, in one request with a switch; others on release', async () => {
  const s = await settings(browser, { hash: '#avisos', clock: true });
  const { page } = s;
  await built(page);
  // Time passes only when the test says so.
  await page.clock.pauseAt(await page.evaluate(() => Date.now() + 2000));
  const move = (k, v) => page.evaluate(([k, v]) => { const r = controls[k]; r.value = v; r.dispatchEvent(new Event('input')); }, [k, v]);
  const release = (k) => page.evaluate((k) => controls[k].dispatchEvent(new Event('change')), k);
  // Dragging "Tamaño" for two seconds: one request, the last value.
  for (let i = 0; i < 20; i++) { await move('avisos.tamano', String(100 + i * 5)); await page.clock.runFor(100); }
  assert.equal(saves(s.seen).length, 0);
  await page.clock.runFor(200);
  await until(page, () => !saving);
  assert.deepEqual(saves(s.seen), [[{ s: 'avisos', k: 'tamano', v: '195' }]]);
  // A live slider and, within 180 ms, a switch: one request with both.
  await move('avisos.duracion', '4.5');
  await page.clock.runFor(50);
  await page.locator('#avisos_activo').click();
  await page.clock.runFor(10);
  await until(page, () => !saving && pending.size === 0);
  assert.deepEqual(saves(s.seen)[1], [{ s: 'avisos', k: 'duracion', v: '4.5' }, { s: 'avisos', k: 'activo', v: 'no' }]);
  // "Volumen del juego" sends nothing while it moves, and at once when released.
  await page.evaluate(() => show('audio'));
  await move('audio.volumen_juego', '150');
  await page.clock.runFor(1000);
  assert.equal(saves(s.seen).length, 2);
  assert.equal(await page.evaluate(() => controls['audio.volumen_juego'].nextSibling.textContent), '150%');
  await release('audio.volumen_juego');
  await page.clock.runFor(1);
  await until(page, () => !saving && pending.size === 0);
  assert.deepEqual(saves(s.seen)[2], [{ s: 'audio', k: 'volumen_juego', v: '150' }]);
  await finish(s);
});

test('device lists: options, selection, disconnected device and the three keys written', async () => {
  const cases = [
    { v: {}, list: 'Audio del juego', opts: ['Predeterminado del sistema', 'Audífonos  (predeterminado)', 'Bocinas', 'No grabar'], sel: 'Predeterminado del sistema' },
    { v: { 'audio.juego': 'no' }, list: 'Audio del juego', sel: 'No grabar' },
    { v: { 'audio.juego': 'si', 'audio.salida_id': 'alsa_output.b' }, list: 'Audio del juego', sel: 'Bocinas' },
    { v: { 'audio.salida_id': 'viejo', 'audio.salida_nombre': 'USB viejo' }, list: 'Audio del juego', sel: 'USB viejo — desconectado' },
    { v: { 'audio.juego': 'si', 'audio.salida_id': 'viejo' }, list: 'Audio del juego', sel: 'Dispositivo guardado — desconectado' },
    { v: { 'audio.juego': 'quizá' }, list: 'Audio del juego', sel: 'Predeterminado del sistema' },
    { v: { 'audio.microfono': '' }, list: 'Micrófono', opts: ['Predeterminado del sistema', 'Micro USB  (predeterminado)', 'No grabar'], sel: 'No grabar' },
    { v: { 'audio.microfono': 'SÍ', 'audio.microfono_id': 'alsa_input.m' }, list: 'Micrófono', sel: 'Micro USB  (predeterminado)' },
  ];
  for (const c of cases) {
    const st = status({ valores: c.v });
    if (c.list === 'Audio del juego' && !('audio.juego' in c.v)) delete st.valores['audio.juego'];
    const s = await settings(browser, { hash: '#audio', st });
    await built(s.page);
    const sel = row(s.page, c.list).locator('select');
    if (c.opts) assert.deepEqual(await sel.locator('option').allTextContents(), c.opts);
    assert.equal(await sel.evaluate((e) => e.options[e.selectedIndex].textContent), c.sel, JSON.stringify(c.v));
    await finish(s);
  }
  const s = await settings(browser, { hash: '#audio', st: status({ valores: { 'audio.juego': 'si', 'audio.salida_id': 'viejo', 'audio.salida_nombre': 'USB viejo' } }) });
  await built(s.page);
  const sel = row(s.page, 'Audio del juego').locator('select');
  const choices = [['Bocinas', ['si', 'alsa_output.b', 'Bocinas']], ['No grabar', ['no', '', '']], ['Predeterminado del sistema', ['si', '', '']],
    ['USB viejo — desconectado', ['si', 'viejo', 'USB viejo']]];
  for (const [label] of choices) {
    await sel.selectOption({ label });
    await until(s.page, () => !saving && pending.size === 0);
  }
  await idle(s.page);
  assert.deepEqual(saves(s.seen), choices.map(([, v]) => [
    { s: 'audio', k: 'juego', v: v[0] }, { s: 'audio', k: 'salida_id', v: v[1] }, { s: 'audio', k: 'salida_nombre', v: v[2] }]));
  await finish(s);
});

test('key recording: combinations, modifiers alone, Escape, pause and resume, duplicates', async () => {
  // A save's reply can be held, so that the save's own toast does not hide the
  // duplicate warning before the test has read it.
  let hold = null;
  const s = await settings(browser, { hash: '#teclas', st: status({ valores: { 'teclas.guardar': 'Ctrl+W', 'visor.tecla': 'Ctrl+Shift+E' } }),
    api: { '/api/guardar': async () => { await hold; return okSave()(); } } });
  const { page } = s;
  await built(page);
  const btn = row(page, 'Guardar clip').locator('button');
  const field = row(page, 'Guardar clip').locator('input');
  const actions = () => s.seen.calls.filter((c) => c.path === '/api/accion').map((c) => c.body.a);
  // Key presses as the window hears them first: once counted, the page's own
  // handler has had them too.
  await page.evaluate(() => { window.keys = 0; window.addEventListener('keydown', () => { window.keys += 1; }, true); });
  await btn.click();
  assert.equal(await btn.textContent(), 'Presiona la combinación…');
  await page.keyboard.down('Control');
  await page.keyboard.down('Shift');
  await until(page, () => window.keys === 2);
  assert.equal(await btn.textContent(), 'Presiona la combinación…', 'modifiers alone keep recording');
  await page.keyboard.press('KeyS');
  await page.keyboard.up('Shift');
  await page.keyboard.up('Control');
  assert.equal(await field.inputValue(), 'Ctrl+Shift+S');
  assert.equal(await btn.textContent(), '⌨ Grabar');
  await btn.click();
  await page.keyboard.press('Escape');
  assert.equal(await field.inputValue(), 'Ctrl+Shift+S');
  assert.equal(await btn.textContent(), '⌨ Grabar');
  await idle(page);
  assert.deepEqual(actions(), ['pausar_teclas', 'reanudar_teclas', 'pausar_teclas', 'reanudar_teclas']);
  // Typing a combination that another row has in another spelling.
  const viewer = row(page, 'Abrir Clips').locator('input');
  let letGo;
  hold = new Promise((r) => { letGo = r; });
  await viewer.fill(' shift+ctrl+s ');
  await viewer.press('Tab');
  await toastIs(page, 'Teclas repetidas: Guardar clip y Abrir Clips');
  assert.equal(await page.locator('#toast').getAttribute('class'), 'show err');
  letGo();
  await idle(page);
  assert.deepEqual(saves(s.seen).flat(), [{ s: 'teclas', k: 'guardar', v: 'Ctrl+Shift+S' }, { s: 'visor', k: 'tecla', v: 'shift+ctrl+s' }]);
  // The naming table.
  const names = await page.evaluate(() => [
    ['Numpad0', 0, 0, 0], ['F24', 1, 0, 0], ['F25', 0, 0, 0], ['Digit7', 0, 1, 0], ['PageDown', 0, 0, 1], ['Space', 1, 1, 1],
    ['ArrowUp', 1, 0, 0], ['Enter', 0, 0, 0], ['ShiftLeft', 0, 0, 1], ['Backquote', 1, 0, 0], ['constructor', 0, 0, 0], ['PrintScreen', 0, 0, 0],
  ].map(([code, c, a, sh]) => comboFromEvent({ code, ctrlKey: !!c, altKey: !!a, shiftKey: !!sh })));
  assert.deepEqual(names, ['Num0', 'Ctrl+F24', null, 'Alt+7', 'Shift+AvPag', 'Ctrl+Alt+Shift+Espacio', null, null, null, null, null, 'Impr']);
  await finish(s);
});

