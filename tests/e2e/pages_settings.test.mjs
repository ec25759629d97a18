// The settings page on stubbed routes: the field table against the server's
// table of editable settings, every control kind and what it queues, the
// shared save timer with one save in flight, key recording, device lists,
// the notice preview, the key test, the disk meter, live state and actions.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { launch, openStubbed, finish, screenshot, until, TOKEN } from './pages/support.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

const KEYS = [...readFileSync(path.join(process.env.CORVANE_SOURCE_DIR, 'apps/corvane/src/web/status.h'), 'utf8')
  .matchAll(/\{"(\w+)", "(\w+)", (true|false)\}/g)].map((m) => ({ s: m[1], k: m[2], live: m[3] === 'true' }));

function status(extra = {}) {
  const valores = {};
  for (const r of KEYS) valores[r.s + '.' + r.k] = '';
  Object.assign(valores, extra.valores ?? {});
  return {
    version: '0.10.45', fecha: '2026-10-25', valores, avisos: [],
    salidas: [{ id: 'alsa_output.a', nombre: 'Audífonos', pred: true }, { id: 'alsa_output.b', nombre: 'Bocinas', pred: false }],
    microfonos: [{ id: 'alsa_input.m', nombre: 'Micro USB', pred: true }],
    reiniciar: false, avisos_corriendo: true, carpeta: '/home/u/Videos/Corvane', ini: '/x/corvane.ini', registro: '/x/corvane.log',
    detector: true, juego_al_frente: false, previa: false, juego: null,
    disco: { auto: 0, auto_n: 0, archivados: 0, archivados_n: 0, manuales: 0, manuales_n: 0, limite: 53687091200 },
    primera_vez: false, monitor: [2560, 1440], ...extra, valores,
  };
}
const okSave = (extra = {}) => () => ({ ok: true, errores: [], avisos: [], reiniciar: false, en_vivo: false, ...extra });

function settings(browser, { hash = '', st = status(), api = {}, ...extra } = {}) {
  return openStubbed(browser, {
    pageName: 'ajustes.html', pathAndHash: `/ajustes?t=${TOKEN}&embed=1${hash}`,
    api: { '/api/estado': () => st, '/api/guardar': okSave(), '/api/accion': () => ({ ok: true }), ...api }, ...extra,
  });
}
const built = (page) => until(page, () => document.querySelector('section.card.on'));
const saves = (seen) => seen.calls.filter((c) => c.path === '/api/guardar').map((c) => c.body.cambios);
const shownSection = (page) => page.evaluate(() => document.querySelector('section.card.on').id);
const toastIs = (page, text) => until(page, (t) => document.getElementById('toast').textContent === t, text);
const row = (page, label) => page.locator('.row', { has: page.locator('.lab', { hasText: label }) }).first();
// Aborted and failed requests log network errors in the console: expected where a test makes them.
// Waits in the test for something the route stubs record.
async function waitFor(fn) {
  for (const end = Date.now() + 15000; Date.now() < end; await new Promise((r) => setTimeout(r, 20))) if (fn()) return;
  assert.fail('condition not met: ' + fn);
}
const dropNetErrors = (seen) => seen.errors.splice(0, seen.errors.length, ...seen.errors.filter((e) => !/Failed to load resource|ERR_FAILED|status of 5\d\d/.test(e)));

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
  for (const [msg, want] of [[{ crvn: 'seccion', sec: 'ia' }, 'ia'], [{ crvn: 'seccion', sec: 'manual' }, 'ia'], [{ crvn: 'otro', sec: 'mas' }, 'ia'], [{ crvn: 'seccion', sec: 'mas' }, 'mas']]) {
    await s.page.evaluate((m) => window.postMessage(m, location.origin), msg);
    await s.page.waitForTimeout(50);
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
  await until(page, () => !saving && pending.size === 0);
  await page.waitForTimeout(100);
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
  await page.waitForTimeout(300);
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
  await page.clock.pauseAt(await page.evaluate(() => Date.now() + 1));
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
    { v: {}, list: 'Audio del juego', opts: ['Predeterminado de Windows', 'Audífonos  (predeterminado)', 'Bocinas', 'No grabar'], sel: 'Predeterminado de Windows' },
    { v: { 'audio.juego': 'no' }, list: 'Audio del juego', sel: 'No grabar' },
    { v: { 'audio.juego': 'si', 'audio.salida_id': 'alsa_output.b' }, list: 'Audio del juego', sel: 'Bocinas' },
    { v: { 'audio.salida_id': 'viejo', 'audio.salida_nombre': 'USB viejo' }, list: 'Audio del juego', sel: 'USB viejo — desconectado' },
    { v: { 'audio.juego': 'si', 'audio.salida_id': 'viejo' }, list: 'Audio del juego', sel: 'Dispositivo guardado — desconectado' },
    { v: { 'audio.juego': 'quizá' }, list: 'Audio del juego', sel: 'Predeterminado de Windows' },
    { v: { 'audio.microfono': '' }, list: 'Micrófono', opts: ['Predeterminado de Windows', 'Micro USB  (predeterminado)', 'No grabar'], sel: 'No grabar' },
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
  const choices = [['Bocinas', ['si', 'alsa_output.b', 'Bocinas']], ['No grabar', ['no', '', '']], ['Predeterminado de Windows', ['si', '', '']],
    ['USB viejo — desconectado', ['si', 'viejo', 'USB viejo']]];
  for (const [label] of choices) {
    await sel.selectOption({ label });
    await until(s.page, () => !saving && pending.size === 0);
  }
  await s.page.waitForTimeout(100);
  assert.deepEqual(saves(s.seen), choices.map(([, v]) => [
    { s: 'audio', k: 'juego', v: v[0] }, { s: 'audio', k: 'salida_id', v: v[1] }, { s: 'audio', k: 'salida_nombre', v: v[2] }]));
  await finish(s);
});

test('key recording: combinations, modifiers alone, Escape, pause and resume, duplicates', async () => {
  // Replies come late, so that the save's own toast does not hide the duplicate warning.
  const s = await settings(browser, { hash: '#teclas', st: status({ valores: { 'teclas.guardar': 'Ctrl+W', 'visor.tecla': 'Ctrl+Shift+E' } }),
    api: { '/api/guardar': () => new Promise((res) => setTimeout(() => res(okSave()()), 400)) } });
  const { page } = s;
  await built(page);
  const btn = row(page, 'Guardar clip').locator('button');
  const field = row(page, 'Guardar clip').locator('input');
  const actions = () => s.seen.calls.filter((c) => c.path === '/api/accion').map((c) => c.body.a);
  await btn.click();
  assert.equal(await btn.textContent(), 'Presiona la combinación…');
  await page.keyboard.down('Control');
  await page.keyboard.down('Shift');
  await page.waitForTimeout(50);
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
  await until(page, () => !saving && pending.size === 0);
  await page.waitForTimeout(100);
  assert.deepEqual(actions(), ['pausar_teclas', 'reanudar_teclas', 'pausar_teclas', 'reanudar_teclas']);
  // Typing a combination that another row has in another spelling.
  const viewer = row(page, 'Abrir Clips').locator('input');
  await viewer.fill(' shift+ctrl+s ');
  await viewer.press('Tab');
  await toastIs(page, 'Teclas repetidas: Guardar clip y Abrir Clips');
  assert.equal(await page.locator('#toast').getAttribute('class'), 'show err');
  await until(page, () => !saving && pending.size === 0);
  await page.waitForTimeout(100);
  assert.deepEqual(saves(s.seen).flat(), [{ s: 'teclas', k: 'guardar', v: 'Ctrl+Shift+S' }, { s: 'visor', k: 'tecla', v: 'shift+ctrl+s' }]);
  // The naming table.
  const names = await page.evaluate(() => [
    ['Numpad0', 0, 0, 0], ['F24', 1, 0, 0], ['F25', 0, 0, 0], ['Digit7', 0, 1, 0], ['PageDown', 0, 0, 1], ['Space', 1, 1, 1],
    ['ArrowUp', 1, 0, 0], ['Enter', 0, 0, 0], ['ShiftLeft', 0, 0, 1], ['Backquote', 1, 0, 0], ['constructor', 0, 0, 0], ['PrintScreen', 0, 0, 0],
  ].map(([code, c, a, sh]) => comboFromEvent({ code, ctrlKey: !!c, altKey: !!a, shiftKey: !!sh })));
  assert.deepEqual(names, ['Num0', 'Ctrl+F24', null, 'Alt+7', 'Shift+AvPag', 'Ctrl+Alt+Shift+Espacio', null, null, null, null, null, 'Impr']);
  await finish(s);
});

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
      await s.page.waitForTimeout(400);
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
    await s.page.waitForTimeout(100);
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
    const s = await settings(browser, { hash: '#ia', api: { '/api/probar_ia': c.reply } });
    const { page } = s;
    await built(page);
    // The field is filled without a change event, so only the test may save it.
    await page.evaluate((k) => { controls['ia.clave_gemini'].value = k; }, c.key);
    const probe = page.getByText('Probar clave');
    await probe.click();
    assert.equal(await page.locator('button.primary', { hasText: 'Probando…' }).isDisabled(), true);
    await toastIs(page, c.text);
    assert.equal(await page.locator('#toast').getAttribute('class'), 'show' + (c.err ? ' err' : ''));
    await until(page, () => !saving && pending.size === 0);
    await page.waitForTimeout(100);
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
    await until(s.page, () => true);
    await s.page.waitForTimeout(200);
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
  assert.equal(polls(), 1);
  await page.evaluate(() => { Object.defineProperty(document, 'visibilityState', { get: () => 'visible', configurable: true }); });
  await page.clock.runFor(4000);
  await until(page, () => true);
  assert.equal(polls(), 2);
  await finish(s);

  // Inside the home page, a frame of a tab not shown is hidden too.
  const h = await settings(browser, { clock: true });
  await built(h.page);
  await h.page.clock.pauseAt(await h.page.evaluate(() => Date.now() + 1));
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
  await h.page.clock.runFor(8000);
  await h.page.waitForTimeout(200);
  assert.equal(framePolls(), atStart, 'a hidden frame does not poll');
  await h.page.evaluate(() => { document.querySelector('iframe').style.display = ''; });
  await h.page.clock.runFor(4000);
  await waitFor(() => framePolls() === atStart + 1);
  await finish(h);

  const f = await settings(browser, { clock: true, api: { '/api/estado': () => 'abort' } });
  await until(f.page, () => document.getElementById('offline'));
  assert.match(await f.page.locator('#offline').textContent(), /^Sin conexión\s*Corvane no está abierto\. Ábrelo y vuelve a entrar desde su ícono junto al reloj\.$/);
  await f.page.clock.runFor(20000);
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
    const s = await settings(browser, { hash: '#mas', st: status({ reiniciar: true }), api: { '/api/accion': () => (c.fail ? { status: 500, body: 'x' } : { ok: false }) } });
    const { page } = s;
    await built(page);
    let asked = null;
    page.on('dialog', (d) => { asked = d.message(); return c.confirm ? d.accept() : d.dismiss(); });
    await page.locator(`[data-act="${c.a}"]`).click();
    if (c.toast) await toastIs(page, c.toast);
    if (c.closed) await until(page, () => document.getElementById('closed'));
    else await page.waitForTimeout(1000);
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
  await page.waitForTimeout(300);
  await screenshot(page, 'ajustes.png');
  await finish(s);
});
