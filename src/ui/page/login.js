// The console's sign-in page: an administrator password is traded for a console session
// (a cookie the browser keeps); then the console itself is opened.
'use strict';

const field = document.getElementById('login-password');
const error = document.getElementById('login-error');
const button = document.getElementById('login-ok');

async function signIn() {
  button.disabled = true;
  try {
    const response = await fetch('/login', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({password: field.value}),
      cache: 'no-store',
    });
    const answer = await response.json();
    field.value = '';
    if (answer.result === 'accepted') {
      window.location.replace('/');
      return;
    }
    error.textContent = answer.message || 'Invalid password!';
    error.hidden = false;
    field.focus();
  } catch (failure) {
    error.textContent = `The service did not answer: ${failure.message}`;
    error.hidden = false;
  } finally {
    button.disabled = false;
  }
}

button.addEventListener('click', signIn);
field.addEventListener('keydown', (event) => {
  if (event.key === 'Enter') {
    event.preventDefault();
    signIn();
  }
});
field.focus();
