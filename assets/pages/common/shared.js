// Shared by every page: the JSON call convention, escaping, the toast and
// guarded browser storage.
function api(path, body) {
  const init = { method: body === undefined ? 'GET' : 'POST', headers: { 'X-CRVN-Clave': TOKEN, 'Content-Type': 'application/json' } };
  if (body !== undefined) init.body = JSON.stringify(body);
  return fetch(path, init).then((r) => {
    if (!r.ok) throw new Error('HTTP ' + r.status);
    return r.json();
  });
}
// The error texts of a reply that is not ok: its "errores" list, else its
// "error" text; none when it gives neither.
function replyErrors(r) {
  if (Array.isArray(r.errores)) return r.errores.map(String);
  return typeof r.error === 'string' && r.error ? [r.error] : [];
}
function esc(s) {
  return String(s).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
}
function storeGet(key) {
  try { return window.localStorage.getItem(key); } catch (e) { return null; }
}
function storeSet(key, value) {
  try { window.localStorage.setItem(key, value); } catch (e) { /* without storage the defaults hold */ }
}
let toastTimer = null;
function toast(text, isError) {
  const t = document.getElementById('toast');
  t.textContent = text;
  t.className = 'show' + (isError ? ' err' : '');
  clearTimeout(toastTimer);
  // A page may keep errors up longer (TOAST_ERR_MS); otherwise both last TOAST_MS.
  const ms = isError && typeof TOAST_ERR_MS === 'number' ? TOAST_ERR_MS : TOAST_MS;
  toastTimer = setTimeout(() => { t.className = ''; }, ms);
}
