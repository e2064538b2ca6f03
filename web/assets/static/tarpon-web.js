// Live checks of the change form: the host's length and characters, and
// the confirmation, before anything is sent; and no second submit while one
// is running. The server checks all of it again: this only saves a trip.
'use strict';
(function () {
  const form = document.getElementById('change');
  if (!form) return;
  const live = document.getElementById('live');
  const button = document.getElementById('submit');
  const field = (id) => document.getElementById(id);
  const hostCharacters = /^[A-Za-z0-9@#$]*$/;
  const checks = [
    ['user', 'noUser'],
    ['currentPassword', 'noCurrent'],
    ['newPassword', 'noNew'],
  ];

  // The first problem as [field, message], or null; empty fields count
  // only when the form is being sent.
  function problem(sending) {
    for (const [id, missing] of checks) {
      const value = field(id).value;
      if (value === '' && sending) return [id, form.dataset[missing]];
      if (value.length > 8) return [id, form.dataset.tooLong];
      if (!hostCharacters.test(value)) return [id, form.dataset.characters];
    }
    const confirmation = field('confirmation');
    if ((sending || confirmation.value !== '') &&
        confirmation.value !== field('newPassword').value) {
      return ['confirmation', form.dataset.mismatch];
    }
    return null;
  }

  function show(found) {
    for (const id of ['user', 'currentPassword', 'newPassword', 'confirmation']) {
      field(id).setAttribute('aria-invalid', found && found[0] === id ? 'true' : 'false');
    }
    live.textContent = found ? found[1] : '';
  }

  form.addEventListener('input', () => show(problem(false)));
  form.addEventListener('submit', (event) => {
    if (form.dataset.sending === 'yes') {
      event.preventDefault();
      live.textContent = form.dataset.busy;
      return;
    }
    const found = problem(true);
    show(found);
    if (found) {
      event.preventDefault();
      field(found[0]).focus();
      return;
    }
    form.dataset.sending = 'yes';
    button.disabled = true;
    button.setAttribute('aria-busy', 'true');
  });
  const result = document.getElementById('result');
  if (result) result.focus();
})();
