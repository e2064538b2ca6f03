// Live checks of the change form against the rules the server put in the
// page (the same data as GET /api/v1/destinations): the host's rule for
// the user ID and the current password, the chosen destination's for the
// new one, and the confirmation, before anything is sent; a show-password
// button for each password field; and no second submit while one is
// running. The server checks all of it again: this only saves a trip.
'use strict';
(function () {
  const form = document.getElementById('change');
  const dataElement = document.getElementById('rules-data');
  if (!form || !dataElement) return;
  const data = JSON.parse(dataElement.textContent);
  const live = document.getElementById('live');
  const button = document.getElementById('submit');
  const field = (id) => document.getElementById(id);
  const boxes = [...document.querySelectorAll('input[name="destinations"]')]
    .filter((box) => box.type === 'checkbox');
  const ids = ['user', 'currentPassword', 'newPassword', 'confirmation'];

  // The names of the hosts to change: the ticked boxes, else the default.
  function chosenNames() {
    if (boxes.length === 0) {
      const found = data.destinations.find((d) => d.default);
      return found ? [found.name] : [];
    }
    return boxes.filter((box) => box.checked).map((box) => box.value);
  }

  // The rules that every chosen host's take together: the longest
  // minimum, the shortest maximum, only the characters all allow, every
  // class any requires.
  function chosenRules() {
    const chosen = data.destinations.filter((d) => chosenNames().includes(d.name));
    if (chosen.length === 0) return data.hostField;
    const all = chosen.map((d) => d.rules);
    return {
      minLength: Math.max(...all.map((r) => r.minLength)),
      maxLength: Math.min(...all.map((r) => r.maxLength)),
      allowedCharacters: [...all[0].allowedCharacters]
        .filter((c) => all.every((r) => r.allowedCharacters.includes(c))).join(''),
      requiredCharacters: [...new Set(all.flatMap((r) => r.requiredCharacters))],
      passwordRules: all.map((r) => r.passwordRules).join(' '),
    };
  }

  // The message key of value's first problem against rules, or null; an
  // empty value counts only when the form is being sent, a short one and
  // a missing class only once complete (sent, or the person moved on).
  function broken(rules, value, sending, complete, missing) {
    if (value === '') return sending ? missing : null;
    if (value.length > rules.maxLength) return 'tooLong';
    for (const c of value) {
      if (!rules.allowedCharacters.includes(c)) return 'characters';
    }
    if (!complete) return null;
    if (value.length < rules.minLength) return 'tooShort';
    for (const set of rules.requiredCharacters) {
      if ([...value].some((c) => set.includes(c))) continue;
      return set === '0123456789' ? 'missingDigit' : 'missingClass';
    }
    return null;
  }

  // The first problem as [field, message], or null.
  function problem(sending) {
    if (boxes.length > 0 && chosenNames().length === 0) {
      return ['destinations', form.dataset.noHost];
    }
    const checks = [
      ['user', data.hostField, 'noUser'],
      ['currentPassword', data.hostField, 'noCurrent'],
      ['newPassword', chosenRules(), 'noNew'],
    ];
    for (const [id, rules, missing] of checks) {
      const input = field(id);
      const complete = sending || document.activeElement !== input;
      const key = broken(rules, input.value, sending, complete, missing);
      if (key) return [id, form.dataset[key]];
    }
    const confirmation = field('confirmation');
    if ((sending || confirmation.value !== '') &&
        confirmation.value !== field('newPassword').value) {
      return ['confirmation', form.dataset.mismatch];
    }
    return null;
  }

  function show(found) {
    for (const id of ids) {
      const mine = found && found[0] === id;
      field(id).setAttribute('aria-invalid', mine ? 'true' : 'false');
      field(id + '-message').textContent = mine ? found[1] : '';
    }
    const hosts = field('destinations-message');
    if (hosts) {
      hosts.textContent = found && found[0] === 'destinations' ? found[1] : '';
    }
  }

  // The chosen hosts' rules alone are shown, and bound the field.
  function choose() {
    const names = chosenNames();
    for (const set of document.querySelectorAll('.rule-set')) {
      set.hidden = boxes.length > 0 && !names.includes(set.dataset.destination);
    }
    const rules = chosenRules();
    const input = field('newPassword');
    input.minLength = rules.minLength;
    input.maxLength = rules.maxLength;
    input.setAttribute('passwordrules', rules.passwordRules);
    field('confirmation').maxLength = rules.maxLength;
  }

  // A button after each password field shows its text and hides it again;
  // made here, so that without scripts there is none.
  for (const id of ['currentPassword', 'newPassword', 'confirmation']) {
    const input = field(id);
    const reveal = document.createElement('button');
    reveal.type = 'button';
    reveal.className = 'reveal';
    reveal.id = id + '-reveal';
    reveal.setAttribute('aria-controls', id);
    reveal.setAttribute('aria-pressed', 'false');
    reveal.textContent = form.dataset.show;
    reveal.addEventListener('click', () => {
      const shown = input.type === 'password';
      input.type = shown ? 'text' : 'password';
      reveal.setAttribute('aria-pressed', shown ? 'true' : 'false');
      reveal.textContent = shown ? form.dataset.hide : form.dataset.show;
    });
    const row = document.createElement('div');
    row.className = 'reveal-row';
    input.replaceWith(row);
    row.append(input, reveal);
  }

  for (const box of boxes) box.addEventListener('change', choose);
  choose();
  form.addEventListener('input', () => show(problem(false)));
  form.addEventListener('focusout', () => show(problem(false)));
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
      (found[0] === 'destinations' ? boxes[0] : field(found[0])).focus();
      return;
    }
    // No browser keeps a shown password as typed text.
    for (const reveal of document.querySelectorAll('.reveal')) {
      if (reveal.getAttribute('aria-pressed') === 'true') reveal.click();
    }
    form.dataset.sending = 'yes';
    button.disabled = true;
    button.setAttribute('aria-busy', 'true');
  });
  const result = document.getElementById('result');
  if (result) result.focus();
})();
